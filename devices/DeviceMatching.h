#pragma once
// How a filter is recognised as one of the maker's models, and which of its pins are the
// hidden MIDI pins. Byte-level code: no Windows headers.

#include <cstdint>
#include <string>

// "vid_xxxx&pid_xxxx", lowercase hexadecimal, as the driver writes it into device paths.
std::string usbIdentityText(uint16_t vendorId, uint16_t productId);
// Exact, case-sensitive substring test on a NUL-terminated path.
bool pathHasUsbIdentity(const char* path, uint16_t vendorId, uint16_t productId);

// A KSDATARANGE_MUSIC of at least 80 bytes: MajorFormat music, SubFormat hidden MIDI,
// Technology port, each GUID compared whole.
bool isHiddenMidiRange(const uint8_t* range);
