#include "ks/KsMidi.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "ks/KsOsApi.h"
#include "support/Diagnostics.h"

static_assert(sizeof(KSDATARANGE) == ksbytes::kDataRangeSize, "KSDATARANGE size");
static_assert(offsetof(KSDATARANGE, MajorFormat) == ksbytes::kMajorFormatOffset, "KSDATARANGE layout");
static_assert(offsetof(KSDATARANGE, SubFormat) == ksbytes::kSubFormatOffset, "KSDATARANGE layout");
static_assert(offsetof(KSDATARANGE, Specifier) == ksbytes::kSpecifierOffset, "KSDATARANGE layout");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void*) == 8 ? 8 : 5), "detail layout");

bool DefaultIsMidiDataRange(const KSDATARANGE* range) {
    return ksbytes::IsMidiPortRange(reinterpret_cast<const uint8_t*>(range));
}

MidiDataRangePredicate IsMidiDataRange = DefaultIsMidiDataRange;

namespace {

// Reads a string value cut to 259 characters: a longer value would not fit a 260-byte
// read at all, so the size is asked first.
void ReadTextValue(HKEY key, const char* name, char (&field)[MAX_PATH]) {
    DWORD type = 0;
    DWORD size = 0;
    if (KsOs().RegQueryValueExA(key, name, NULL, &type, NULL, &size) != ERROR_SUCCESS) return;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return;
    // Room for a terminator must not wrap the size round to 0.
    if (size == MAXDWORD) return;
    BYTE* data = new (std::nothrow) BYTE[size + 1];
    if (data == nullptr) return;
    DWORD got = size;
    if (KsOs().RegQueryValueExA(key, name, NULL, &type, data, &got) == ERROR_SUCCESS && got <= size) {
        data[got] = '\0';
        CopyKsText(field, reinterpret_cast<const char*>(data));
    }
    delete[] data;
}

}  // namespace

DeviceRecord* BuildDeviceRecord(const char* path) {
    DeviceRecord* record = new (std::nothrow) DeviceRecord;
    if (record == nullptr) return nullptr;
    std::memset(record, 0, sizeof *record);
    CopyKsText(record->path, path);

    const KsOsApi& os = KsOs();
    HDEVINFO set = os.SetupDiCreateDeviceInfoList(NULL, NULL);
    if (set == INVALID_HANDLE_VALUE) return record;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (os.SetupDiOpenDeviceInterfaceA(set, path, 0, &interfaceData)) {
        HKEY key = os.SetupDiOpenDeviceInterfaceRegKey(set, &interfaceData, 0, KEY_READ);
        if (key != static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
            ReadTextValue(key, "FriendlyName", record->friendlyName);
            os.RegCloseKey(key);
        }
        alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_A) BYTE buffer[MAX_PATH];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA devInfo;
        std::memset(&devInfo, 0, sizeof devInfo);
        devInfo.cbSize = sizeof devInfo;
        if (os.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, sizeof buffer, NULL, &devInfo)) {
            static const char kPrefix[] = "SYSTEM\\CurrentControlSet\\Services\\";
            const DWORD prefixLength = sizeof kPrefix - 1;
            char keyPath[MAX_PATH];
            std::memcpy(keyPath, kPrefix, prefixLength);
            std::memset(keyPath + prefixLength, 0, sizeof keyPath - prefixLength);
            // One byte stays 0 so the key path is always terminated.
            if (os.SetupDiGetDeviceRegistryPropertyA(set, &devInfo, SPDRP_SERVICE, NULL,
                                                     reinterpret_cast<PBYTE>(keyPath + prefixLength),
                                                     sizeof keyPath - prefixLength - 1, NULL)) {
                HKEY service = NULL;
                if (os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &service) == ERROR_SUCCESS) {
                    ReadTextValue(service, "ImagePath", record->imagePath);
                    os.RegCloseKey(service);
                }
            }
        }
    }
    os.SetupDiDestroyDeviceInfoList(set);
    return record;
}

CDeviceList::~CDeviceList() {
    for (ULONG i = 0; i < m_recordCount; ++i) delete m_records[i];
    m_recordCount = 0;
}

bool CDeviceList::OnDeviceAdded(DeviceRecord*) { return true; }

void CDeviceList::OnDeviceRemoved(DeviceRecord*) {}

DeviceRecord* CDeviceList::FindDeviceRecord(const char* path) const {
    for (ULONG i = 0; i < m_recordCount; ++i)
        if (_stricmp(m_records[i]->path, path) == 0) return m_records[i];
    return nullptr;
}

void CDeviceList::AddDevice(HDEVINFO, const char* path) {
    if (path == nullptr || FindDeviceRecord(path) != nullptr) return;
    // The table is full: further interfaces are left out.
    if (m_recordCount >= kMaxDevices) return;
    DeviceRecord* record = BuildDeviceRecord(path);
    if (record == nullptr) return;
    if (OnDeviceAdded(record))
        m_records[m_recordCount++] = record;
    else
        delete record;
}

void CDeviceList::EnumerateDevices() {
    const KsOsApi& os = KsOs();
    HDEVINFO set = os.SetupDiGetClassDevsA(&m_category, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;
    const DWORD detailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + 520;
    for (DWORD index = 0; m_recordCount < kMaxDevices; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        std::memset(&interfaceData, 0, sizeof interfaceData);
        interfaceData.cbSize = sizeof interfaceData;
        if (!os.SetupDiEnumDeviceInterfaces(set, NULL, &m_category, index, &interfaceData)) break;
        BYTE* buffer = new (std::nothrow) BYTE[detailSize];
        if (buffer == nullptr) break;
        std::memset(buffer, 0, detailSize);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA devInfo;
        std::memset(&devInfo, 0, sizeof devInfo);
        devInfo.cbSize = sizeof devInfo;
        if (os.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, detailSize, NULL, &devInfo)) {
            buffer[detailSize - 1] = '\0';
            AddDevice(set, detail->DevicePath);
        }
        delete[] buffer;
    }
    os.SetupDiDestroyDeviceInfoList(set);
}

HRESULT CKsMidiFilter::EnumeratePins() {
    KsTrace(6, "%s Enter", "CKsMidiFilter::EnumeratePins()");
    ULONG count = 0;
    KsTrace(6, "%s Enter", "CKsFilter::GetPinPropertySimple()");
    KSP_PIN property;
    property.Property.Set = ToGuid(ksbytes::kPropSetPin);
    property.Property.Id = KSPROPERTY_PIN_CTYPES;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = 0;
    property.Reserved = 0;
    ULONG bytes = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, &count, sizeof count, &bytes);
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::GetPinPropertySimple", static_cast<unsigned>(hr));
    if (SUCCEEDED(hr) && bytes < sizeof count) hr = E_FAIL;
    if (FAILED(hr)) {
        KsTrace(6, "%s Leave, returning %#08x", "CKsMidiFilter::EnumeratePins", static_cast<unsigned>(hr));
        return hr;
    }
    HRESULT result = S_OK;
    for (ULONG pinId = 0; pinId < count; ++pinId) {
        BYTE* reply = nullptr;
        ULONG size = 0;
        hr = GetPinPropertyMulti(pinId, ksbytes::kPropSetPin, KSPROPERTY_PIN_DATARANGES, &reply, &size);
        if (FAILED(hr)) {
            delete[] reply;
            KsTrace(6, "%s Leave, returning %#08x", "CKsMidiFilter::EnumeratePins", static_cast<unsigned>(hr));
            return hr;
        }
        bool midi = false;
        ksbytes::DataRangeWalk walk(reply, size, ksbytes::kMusicRangeMinimum);
        for (const uint8_t* range = walk.Next(); range && !midi; range = walk.Next())
            midi = IsMidiDataRange(reinterpret_cast<const KSDATARANGE*>(range));
        delete[] reply;
        if (!midi) continue;
        HRESULT outcome = S_OK;
        CKsMidiPin* pin = new (std::nothrow) CKsMidiPin(this, pinId, &outcome);
        if (pin == nullptr) {
            KsTrace(1, "Failed to create MIDI pin");
            result = E_OUTOFMEMORY;
        } else if (FAILED(outcome)) {
            // The driver let a request hang: the filter is left out rather than asked again.
            delete pin;
            KsTrace(6, "%s Leave, returning %#08x", "CKsMidiFilter::EnumeratePins", static_cast<unsigned>(outcome));
            return outcome;
        } else if (m_pins.AddTail(static_cast<CKsPin*>(pin)) == nullptr) {
            // Stored as the CKsPin* every reader of the list takes it back as.
            delete pin;
            KsTrace(1, "Unable to allocate list entry to save pin in");
            result = E_OUTOFMEMORY;
        }
    }
    if (FAILED(result)) {
        KsTrace(6, "%s Leave, returning %#08x", "CKsMidiFilter::EnumeratePins", static_cast<unsigned>(result));
        return result;
    }
    ClassifyPins();
    hr = AnySortedPin(false) ? S_OK : E_FAIL;
    KsTrace(6, "%s Leave, returning %#08x", "CKsMidiFilter::EnumeratePins", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsMidiPin::Instantiate(BOOL looped) {
    KsTrace(6, "%s Enter", "CKsMidiPin::Instantiate()");
    HRESULT hr;
    if (GetDataRangeCount() == 0) {
        // The driver gave no readable range this time: there is no format to connect with.
        hr = E_FAIL;
    } else {
        alignas(KSPIN_CONNECT) BYTE block[kConnectSize];
        std::memset(block, 0, sizeof block);
        auto* connect = reinterpret_cast<KSPIN_CONNECT*>(block);
        connect->Interface.Set = ToGuid(ksbytes::kInterfaceSetStandard);
        connect->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
        connect->Interface.Flags = 0;
        connect->Medium.Set = ToGuid(ksbytes::kMediumSetStandard);
        connect->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
        connect->Medium.Flags = 0;
        connect->PinId = GetPinId();
        connect->PinToHandle = NULL;
        connect->Priority.PriorityClass = KSPRIORITY_NORMAL;
        connect->Priority.PrioritySubClass = 1;
        auto* format = reinterpret_cast<KSDATAFORMAT*>(connect + 1);
        const KSDATARANGE* first = GetDataRanges();
        format->FormatSize = sizeof(KSDATAFORMAT);
        format->MajorFormat = first->MajorFormat;
        format->SubFormat = first->SubFormat;
        format->Specifier = first->Specifier;
        hr = SetPinConnect(connect, sizeof block);
        if (SUCCEEDED(hr)) hr = CKsPin::Instantiate(looped);
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsMidiPin::Instantiate", static_cast<unsigned>(hr));
    return hr;
}
