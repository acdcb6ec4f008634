// A WinMM device name through every naming helper and both platform rules (before and
// from Vista). Byte 0 of the input picks the family used for the lower-level helpers;
// the rest is the name.

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "midi/PortNaming.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string name(reinterpret_cast<const char*>(data) + 1, size - 1);
    // Nine digits can each add a suffix; nothing else makes a name longer.
    const size_t limit = name.size() + 1 + 9 * (std::strlen(kPortSeparator) + 1) + 16;

    for (int form = 0; form < 4; ++form) {
        const bool longForm = form & 1;
        const bool withPortNumber = form & 2;
        const std::string formatted = formatPortName(name, longForm, withPortNumber);
        FUZZ_CHECK(formatted.size() <= limit);
        FUZZ_CHECK(formatted.find('(') == std::string::npos && formatted.find(')') == std::string::npos);
        FUZZ_CHECK(platformPortNameForVersion(6, name, longForm, withPortNumber) == formatted);
        FUZZ_CHECK(platformPortNameForVersion(5, name, longForm, withPortNumber).size() <= limit + 1);
    }

    const std::string family = familyName(name);
    FUZZ_CHECK(family == name || family.size() <= 16);
    // A family taken from the input itself reaches the instance-number branches.
    const std::string chosen = data[0] & 1 ? family : name.substr(data[0] % (name.size() + 1));
    std::string marked = name;
    const std::string trimmed = trimDeviceName(marked, chosen);
    FUZZ_CHECK(marked.size() == name.size() && trimmed.size() <= name.size());

    std::string out = trimmed;
    appendPortNumber(out, marked, chosen);
    FUZZ_CHECK(out.size() <= limit);
    std::string rest = out;
    const std::string suffix = takePortSuffix(rest);
    FUZZ_CHECK(suffix.empty() || suffix.compare(0, std::strlen(kPortSeparator), kPortSeparator) == 0);
    FUZZ_CHECK(suffix.size() <= std::strlen(kPortSeparator) + 1);
    FUZZ_CHECK(rest.size() + suffix.size() == out.size());
    removeWord(rest, chosen);
    return 0;
}
