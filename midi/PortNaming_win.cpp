#include <windows.h>
#include <mmsystem.h>

#include <string>

#include "midi/PortNaming.h"
#include "midi/VeltroDeviceList.h"
#include "midi/WinMM.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA layout");

namespace {

bool containsStroma(const char* name) { return std::string(name).find("Stroma") != std::string::npos; }

// The keyboard controller is shown under the maker's name unless two WinMM inputs carry
// its name too.
std::string applyControllerRule(const std::string& name) {
    if (name.find("Stroma") == std::string::npos) return name;
    const WinMM& mm = winmm();
    const UINT inputs = mm.midiInGetNumDevs();
    int count = 0;
    for (UINT i = 0; i < inputs && count < 2; ++i) {
        MIDIINCAPSA caps = {};
        if (mm.midiInGetDevCapsA(i, &caps, sizeof(caps)) != MMSYSERR_NOERROR) continue;
        caps.szPname[MAXPNAMELEN - 1] = '\0';
        if (containsStroma(caps.szPname)) ++count;
    }
    return count >= 2 ? name : std::string("Veltro Stroma");
}

}  // namespace

std::string getOutputPortName(int32_t index, bool longForm, bool withPortNumber) {
    const WinMM& mm = winmm();
    const UINT winmmCount = mm.midiOutGetNumDevs();
    if (index >= 0 && static_cast<uint32_t>(index) >= winmmCount) {
        VeltroDeviceList* manager = deviceManager();
        if (!manager) return std::string();
        const uint32_t hidden = static_cast<uint32_t>(index) - winmmCount;
        return longForm ? manager->getPortName(hidden) : manager->getTypeName(hidden);
    }
    std::string name;
    MIDIOUTCAPSA caps = {};
    if (mm.midiOutGetDevCapsA(static_cast<UINT>(index), &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
        caps.szPname[MAXPNAMELEN - 1] = '\0';
        name = caps.szPname;
    }
    return winmmOutputPortName(name, longForm, withPortNumber);
}

std::string winmmOutputPortName(const std::string& deviceName, bool longForm, bool withPortNumber) {
    return platformPortName(applyControllerRule(deviceName), longForm, withPortNumber);
}

std::string platformPortName(const std::string& name, bool longForm, bool withPortNumber) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    // If the query fails, the current rule applies.
    const DWORD major = GetVersionExA(&version) ? version.dwMajorVersion : 6;
    return platformPortNameForVersion(major, name, longForm, withPortNumber);
}
