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

// A fresh list of the present filters for one operation; it goes with the operation,
// however that ends, and a port that was opened keeps its own filter reference.
template <typename Action>
auto USBDeviceManager::withPort(uint32_t index, Action action)
    -> decltype(action(static_cast<IDevType*>(nullptr), static_cast<CKsMidiFilter*>(nullptr))) {
    TKsFilterList<CKsMidiFilter> filters(ToGuid(ksbytes::kKsCategoryAudio));
    filters.EnumerateDevices();
    uint32_t number = 0;
    for (ULONG f = 0; f < filters.GetFilterCount(); ++f) {
        CKsMidiFilter* filter = filters.GetFilter(f);
        if (filter == nullptr) continue;
        for (auto& type : types_) {
            if (!type->matches(filter)) continue;
            if (number == index) return action(type.get(), filter);
            ++number;
        }
    }
    throw GeneralError("Device type not found for index");
}

uint32_t USBDeviceManager::getPortCount() {
    TKsFilterList<CKsMidiFilter> filters(ToGuid(ksbytes::kKsCategoryAudio));
    filters.EnumerateDevices();
    uint32_t count = 0;
    for (ULONG f = 0; f < filters.GetFilterCount(); ++f) {
        CKsMidiFilter* filter = filters.GetFilter(f);
        if (filter == nullptr) continue;
        for (auto& type : types_)
            if (type->matches(filter)) ++count;
    }
    return count;
}

std::string USBDeviceManager::getPortName(uint32_t index) {
    return withPort(index, [this](IDevType* type, CKsMidiFilter* filter) { return type->getPortName(namesPrefix_, filter); });
}

std::string USBDeviceManager::getTypeName(uint32_t index) {
    return withPort(index, [](IDevType* type, CKsMidiFilter*) { return type->getName(); });
}

std::vector<std::string> USBDeviceManager::getTypeNames() {
    TKsFilterList<CKsMidiFilter> filters(ToGuid(ksbytes::kKsCategoryAudio));
    filters.EnumerateDevices();
    std::vector<std::string> names;
    for (ULONG f = 0; f < filters.GetFilterCount(); ++f) {
        CKsMidiFilter* filter = filters.GetFilter(f);
        if (filter == nullptr) continue;
        for (auto& type : types_)
            if (type->matches(filter)) names.push_back(type->getName());
    }
    return names;
}

MIDI::Output* USBDeviceManager::openOutput(uint32_t index) {
    return withPort(index, [](IDevType* type, CKsMidiFilter* filter) { return type->createOutput(filter); });
}

MIDI::Input* USBDeviceManager::openInput(uint32_t index) {
    return withPort(index, [](IDevType* type, CKsMidiFilter* filter) { return type->createInput(filter); });
}
