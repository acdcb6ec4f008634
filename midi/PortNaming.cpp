#include "midi/PortNaming.h"

const char kPortSeparator[] = ": Port ";

namespace {

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

void eraseEvery(std::string& text, char c) {
    for (size_t p; (p = text.find(c)) != std::string::npos;) text.erase(p, 1);
}

// Erasures that would run past the end stop at it.
void eraseFirst(std::string& text, char c) {
    const size_t p = text.find(c);
    if (p != std::string::npos) text.erase(p, 1);
}

}  // namespace

std::string platformPortNameForVersion(uint32_t majorVersion, const std::string& name,
                                       bool longForm, bool withPortNumber) {
    if (majorVersion >= 6) return formatPortName(name, longForm, withPortNumber);
    const std::string shortForm = formatPortName(name, false, false);
    std::string rest = name;
    const std::string suffix = takePortSuffix(rest);
    std::string result = longForm ? rest : shortForm;
    if (withPortNumber) result += " " + suffix;
    return result;
}

std::string formatPortName(std::string name, bool longForm, bool withPortNumber) {
    const std::string family = familyName(name);
    const std::string trimmed = trimDeviceName(name, family);
    std::string out = longForm ? trimmed : family;
    if (withPortNumber)
        appendPortNumber(out, name, family);
    else
        takePortSuffix(out);
    eraseEvery(out, ')');
    eraseEvery(out, '(');
    return out;
}

std::string familyName(const std::string& name) {
    const bool mk2 = contains(name, "MKII") || contains(name, "MkII");
    if (contains(name, "VeNTUS") && contains(name, "XR")) {
        if (contains(name, "Petite")) return "VeNTUS XR Petite";
        if (contains(name, "OmNI")) return "VeNTUS OmNI XR";
        return "VeNTUS XR";
    }
    if (contains(name, "VentusXR")) return "VentusXR IN";
    if (contains(name, "XR") && mk2) return "XR MkII";
    if (contains(name, "OmNI") && mk2) return "OmNI MkII";
    if (contains(name, "Gridlet")) return "Gridlet";
    return name;
}

std::string trimDeviceName(std::string& name, const std::string& family) {
    std::string out = name;
    const size_t p = name.find(family);
    if (p != std::string::npos && p >= 3 && name[p - 1] != '(') {
        if (p >= 4 && isDigit(name[p - 4])) {
            name[p - 4] = 'x';
            out.erase(0, p - 4);
        }
        if (isDigit(name[p - 3])) {
            name[p - 3] = 'x';
            if (out != name) out.erase(0, p - 3);
        }
    }
    removeWord(out, "MIDIIN");
    removeWord(out, "MIDIOUT");
    return out;
}

void removeWord(std::string& text, const std::string& word) {
    const size_t p = text.find(word);
    if (p == std::string::npos) return;
    text.erase(p, word.size() + 2);  // erase() itself stops at the end of the text
    eraseFirst(text, '(');
    eraseFirst(text, ')');
}

void appendPortNumber(std::string& out, const std::string& name, const std::string& family) {
    if (out.find(kPortSeparator) != std::string::npos) return;
    if (out == name || name == "x- " + family || name == "xx- " + family) {
        out += kPortSeparator;
        out += '1';
        return;
    }
    for (char d = '1'; d <= '9'; ++d) {
        if (name.find(d) != std::string::npos) {
            out += kPortSeparator;
            out += d;
        }
    }
}

std::string takePortSuffix(std::string& text) {
    const size_t p = text.find(kPortSeparator);
    if (p == std::string::npos) return std::string();
    const size_t length = sizeof(kPortSeparator) - 1 + 1;
    std::string suffix = text.substr(p, length);
    text.erase(p, length);
    return suffix;
}
