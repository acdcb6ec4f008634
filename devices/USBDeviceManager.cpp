#include "devices/USBDeviceManager.h"

#include "devices/DeviceMatching.h"
#include "devices/HiddenInput.h"
#include "devices/HiddenOutput.h"
#include "devices/UsbIds.h"
#include "ks/KsMidi.h"
#include "midi/NamesFile.h"
#include "midi/PortIdHash.h"
#include "support/Diagnostics.h"

namespace {

bool hiddenMidiDataRange(const KSDATARANGE* range) {
    return isHiddenMidiRange(reinterpret_cast<const uint8_t*>(range));
}

}  // namespace

template <class InputPort, class OutputPort, uint16_t ProductId, unsigned PinIndex>
class USBDeviceManager::DevType : public IDevType {
public:
    explicit DevType(const std::string& name) : name_(name) {}

    MIDI::Input* createInput(CKsMidiFilter* filter) override { return new InputPort(filter, PinIndex, this); }
    MIDI::Output* createOutput(CKsMidiFilter* filter) override { return new OutputPort(filter, PinIndex, this); }
    bool matches(CKsMidiFilter* filter) override {
        return pathHasUsbIdentity(filter->GetDevicePath(), usbids::kVendor, ProductId);
    }
    std::string getPortName(const std::string& namesPrefix, CKsMidiFilter* filter) override {
        try {
            return lookupPortName(namesPrefix, name_, filter->GetDevicePath());
        } catch (const std::exception&) {
            return name_;
        }
    }
    std::string getName() override { return name_; }
    uint32_t getDeviceId(CKsMidiFilter* filter) override { return portIdHash(filter->GetDevicePath()); }

protected:
    std::string name_;
};

// The virtual control-mapping ports have no USB identity: they are known by name.
class USBDeviceManager::HiddenMIDIType : public USBDeviceManager::DevType<HiddenInput, HiddenOutput<3>, 0, 0> {
public:
    explicit HiddenMIDIType(const std::string& name) : DevType(name) {}

    bool matches(CKsMidiFilter* filter) override { return name_ == filter->GetFriendlyName(); }
    std::string getPortName(const std::string&, CKsMidiFilter*) override { return name_; }
};

USBDeviceManager::USBDeviceManager(const std::string& namesPrefix) : namesPrefix_(namesPrefix) {
    // From now on MIDI filters show their hidden pins only.
    IsMidiDataRange = hiddenMidiDataRange;

    using namespace usbids;
    types_.emplace_back(new DevType<DuskerInput, DuskerOutput, kDusker, 0>("Dusker"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kXrMkII, 0>("XR MkII"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kOmniMkII, 0>("OmNI MkII"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kDuskerKeyboard, 0>("Dusker Keyboard"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<8>, kQuarvel, 0>("Quarvel"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kStroma25, 1>("Stroma 25 (Encoders)"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kStroma25, 0>("Stroma 25 (Faders)"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kStroma49, 1>("Stroma 49 (Encoders)"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kStroma49, 0>("Stroma 49 (Faders)"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kStroma61, 1>("Stroma 61 (Encoders)"));
    types_.emplace_back(new DevType<HiddenInput, HiddenOutput<3>, kStroma61, 0>("Stroma 61 (Faders)"));
    types_.emplace_back(new HiddenMIDIType("Bindery MIDI"));
    types_.emplace_back(new HiddenMIDIType("Bindery HUI"));
    types_.emplace_back(new HiddenMIDIType("Bindery Studiox"));
    types_.emplace_back(new HiddenMIDIType("Bindery Studiox Mixer"));
}

USBDeviceManager::~USBDeviceManager() {
    for (auto& type : types_) type.reset();
}

// Walks the ports in index order until visit returns true. The list of present filters
// is made for the walk and goes with it, however it ends; a port that was opened keeps
// its own filter reference.
template <typename Visit>
void USBDeviceManager::walkPorts(Visit visit) {
    TKsFilterList<CKsMidiFilter> filters(ToGuid(ksbytes::kKsCategoryAudio));
    filters.EnumerateDevices();
    uint32_t number = 0;
    for (ULONG f = 0; f < filters.GetFilterCount(); ++f) {
        CKsMidiFilter* filter = filters.GetFilter(f);
        if (filter == nullptr) continue;
        for (auto& type : types_) {
            if (!type->matches(filter)) continue;
            if (visit(number++, type.get(), filter)) return;
        }
    }
}

template <typename Action>
auto USBDeviceManager::withPort(uint32_t index, Action action)
    -> decltype(action(static_cast<IDevType*>(nullptr), static_cast<CKsMidiFilter*>(nullptr))) {
    decltype(action(static_cast<IDevType*>(nullptr), static_cast<CKsMidiFilter*>(nullptr))) result{};
    bool found = false;
    walkPorts([&](uint32_t number, IDevType* type, CKsMidiFilter* filter) {
        if (number != index) return false;
        result = action(type, filter);
        found = true;
        return true;
    });
    if (!found) throw GeneralError("Device type not found for index");
    return result;
}

uint32_t USBDeviceManager::getPortCount() {
    uint32_t count = 0;
    walkPorts([&](uint32_t, IDevType*, CKsMidiFilter*) {
        ++count;
        return false;
    });
    return count;
}

std::string USBDeviceManager::getPortName(uint32_t index) {
    return withPort(index, [this](IDevType* type, CKsMidiFilter* filter) { return type->getPortName(namesPrefix_, filter); });
}

std::string USBDeviceManager::getTypeName(uint32_t index) {
    return withPort(index, [](IDevType* type, CKsMidiFilter*) { return type->getName(); });
}

std::vector<std::string> USBDeviceManager::getTypeNames() {
    std::vector<std::string> names;
    walkPorts([&](uint32_t, IDevType* type, CKsMidiFilter*) {
        names.push_back(type->getName());
        return false;
    });
    return names;
}

MIDI::Output* USBDeviceManager::openOutput(uint32_t index) {
    return withPort(index, [](IDevType* type, CKsMidiFilter* filter) { return type->createOutput(filter); });
}

MIDI::Input* USBDeviceManager::openInput(uint32_t index) {
    return withPort(index, [](IDevType* type, CKsMidiFilter* filter) { return type->createInput(filter); });
}
