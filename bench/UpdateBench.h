#pragma once
// A whole update of the real program against the simulated Lumetra, driven like a user.

// program: the exe to run. Prints its figures; returns the process exit code for the bench.
int benchUpdate(const char* program);
