#pragma once
// Names of output ports. WinMM's device names carry decorations that Windows adds (an
// instance prefix such as "2- ", "MIDIOUT2 (...)", ": Port n"); the helpers here reduce
// them to the forms the library uses. Byte-level code: no Windows headers.

#include <cstdint>
#include <string>

// Separator of the port-number suffix: ": Port " and one character.
extern const char kPortSeparator[];

// Combined output index: WinMM outputs first, then the device manager's ports.
std::string getOutputPortName(int32_t index, bool longForm, bool withPortNumber);

// The forms of a WinMM output's device name (the product name WinMM reports).
std::string winmmOutputPortName(const std::string& deviceName, bool longForm, bool withPortNumber);

// The forms for this system's Windows version (asks GetVersionExA).
std::string platformPortName(const std::string& name, bool longForm, bool withPortNumber);
// The same rule for a given major version; before 6 (Vista) names keep their suffix.
std::string platformPortNameForVersion(uint32_t majorVersion, const std::string& name,
                                       bool longForm, bool withPortNumber);

std::string formatPortName(std::string name, bool longForm, bool withPortNumber);
std::string familyName(const std::string& name);
// Returns the trimmed name and marks the instance number in name with "x".
std::string trimDeviceName(std::string& name, const std::string& family);
void removeWord(std::string& text, const std::string& word);
void appendPortNumber(std::string& out, const std::string& name, const std::string& family);
// Cuts the first port-number suffix out of text and returns it ("" when there is none).
std::string takePortSuffix(std::string& text);
