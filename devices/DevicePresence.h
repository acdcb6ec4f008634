#pragma once
// The presence test of a hidden port: the filter's device path can still be opened the way
// the filter itself was (read and write, no sharing, overlapped), and is closed at once.

class CKsMidiFilter;

bool devicePathOpens(const CKsMidiFilter* filter);
