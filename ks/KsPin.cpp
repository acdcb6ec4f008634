#include "ks/KsPin.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

#include "ks/KsFilter.h"
#include "ks/KsOsApi.h"
#include "support/Diagnostics.h"

static_assert(IOCTL_KS_WRITE_STREAM == 0x002F8013, "IOCTL_KS_WRITE_STREAM");
static_assert(IOCTL_KS_READ_STREAM == 0x002F4017, "IOCTL_KS_READ_STREAM");
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48, "KSPIN_CONNECT layout");
static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER layout");

namespace {

typedef DWORD(WINAPI* KsCreatePinFn)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

// Bound on first use and kept for the life of the process (the library is never
// freed); a missing library or export is looked for again on the next call. The binding
// belongs to the OS table it was looked up through. Pins are instantiated on ports'
// reading threads as well as the caller's, so the binding is taken under a lock.
struct KsUserBinding {
    HMODULE module = nullptr;
    KsCreatePinFn createPin = nullptr;
    unsigned generation = 0;
};
KsUserBinding g_ksUser;
std::mutex g_ksUserLock;

KsCreatePinFn BindKsCreatePin() {
    std::lock_guard<std::mutex> lock(g_ksUserLock);
    if (g_ksUser.generation != KsOsApiGeneration()) g_ksUser = KsUserBinding{nullptr, nullptr, KsOsApiGeneration()};
    if (g_ksUser.createPin == nullptr) {
        if (g_ksUser.module == nullptr) g_ksUser.module = KsOs().LoadKsUser();
        if (g_ksUser.module != nullptr)
            g_ksUser.createPin = reinterpret_cast<KsCreatePinFn>(
                reinterpret_cast<void*>(KsOs().GetProcAddress(g_ksUser.module, "KsCreatePin")));
    }
    return g_ksUser.createPin;
}

DWORD CallKsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    KsCreatePinFn createPin = BindKsCreatePin();
    if (createPin == nullptr) return ERROR_FILE_NOT_FOUND;
    return createPin(filter, connect, access, pin);
}

}  // namespace

CKsPin::CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* outcome)
    : m_connect(nullptr), m_pinId(pinId), m_filter(filter), m_category(GUID_NULL), m_interfaceCount(0),
      m_interfaces(nullptr), m_mediumCount(0), m_mediums(nullptr), m_dataRangeCount(0), m_dataRanges(nullptr),
      m_dataFlow(0), m_communication(0), m_instances(), m_globalInstances(), m_dataRangeBuffer(nullptr),
      m_mediumBuffer(nullptr), m_interfaceBuffer(nullptr), m_state(KSSTATE_STOP), m_name(), m_looped(FALSE) {
    KsTrace(6, "%s Enter", "CKsPin::CKsPin()");
    HRESULT hr = Init();
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::CKsPin", static_cast<unsigned>(hr));
    if (outcome) *outcome = hr;
}

CKsPin::~CKsPin() {
    KsTrace(6, "%s Enter", "CKsPin::~CKsPin()");
    ClosePin();
    delete[] reinterpret_cast<BYTE*>(m_connect);
    delete[] m_dataRangeBuffer;
    delete[] m_interfaceBuffer;
    delete[] m_mediumBuffer;
    KsTrace(6, "%s Leave", "CKsPin::~CKsPin()");
}

ULONG CKsPin::GetDataFlow() const {
    KsTrace(6, "%s Enter", "CKsPin::GetDataFlow()");
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::GetDataFlow", 0u);
    return m_dataFlow;
}

ULONG CKsPin::GetCommunication() const {
    KsTrace(6, "%s Enter", "CKsPin::GetCommunication()");
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::GetCommunication", 0u);
    return m_communication;
}

HRESULT CKsPin::ReadIdentifiers(ULONG id, BYTE** buffer, ULONG* count, const KSIDENTIFIER** first) {
    BYTE* reply = nullptr;
    ULONG size = 0;
    HRESULT hr = m_filter->GetPinPropertyMulti(m_pinId, ksbytes::kPropSetPin, id, &reply, &size);
    uint32_t n = 0;
    if (SUCCEEDED(hr) && !ksbytes::MultipleItemCount(reply, size, sizeof(KSIDENTIFIER), &n)) hr = E_FAIL;
    if (FAILED(hr)) {
        delete[] reply;
        return hr;
    }
    *buffer = reply;
    *count = n;
    *first = reinterpret_cast<const KSIDENTIFIER*>(reply + ksbytes::kMultipleItemHeaderSize);
    return hr;
}

HRESULT CKsPin::ReadFixed(ULONG id, void* field, ULONG size) {
    BYTE reply[sizeof(GUID)] = {};
    ULONG got = 0;
    HRESULT hr = m_filter->GetPinPropertySimple(m_pinId, ksbytes::kPropSetPin, id, reply, size, &got);
    // A short or empty reply leaves the field as it was.
    if (SUCCEEDED(hr) && got != size) hr = E_FAIL;
    if (SUCCEEDED(hr)) std::memcpy(field, reply, size);
    return hr;
}

HRESULT CKsPin::Init() {
    KsTrace(6, "%s Enter", "CKsPin::Init()");
    bool missed = false;
    // A driver that let one request hang is not asked again: each would hang as long.
    HRESULT hung = S_OK;
    auto failed = [&](HRESULT hr) {
        if (hr == kTimedOut) hung = hr;
        return FAILED(hr);
    };

    if (failed(ReadFixed(KSPROPERTY_PIN_COMMUNICATION, &m_communication, sizeof m_communication))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d", int(m_pinId));
        missed = true;
    }
    if (hung == S_OK &&
        failed(ReadIdentifiers(KSPROPERTY_PIN_INTERFACES, &m_interfaceBuffer, &m_interfaceCount, &m_interfaces))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d", int(m_pinId));
        missed = true;
    }
    if (hung == S_OK && failed(ReadIdentifiers(KSPROPERTY_PIN_MEDIUMS, &m_mediumBuffer, &m_mediumCount, &m_mediums))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d", int(m_pinId));
        missed = true;
    }
    if (hung == S_OK) {
        BYTE* reply = nullptr;
        ULONG bytes = 0;
        HRESULT hr = m_filter->GetPinPropertyMulti(m_pinId, ksbytes::kPropSetPin, KSPROPERTY_PIN_DATARANGES, &reply,
                                                   &bytes);
        failed(hr);
        ksbytes::DataRangeWalk walk(reply, SUCCEEDED(hr) ? bytes : 0, ksbytes::kDataRangeSize);
        while (walk.Next()) {
        }
        if (SUCCEEDED(hr) && walk.Complete()) {
            m_dataRangeBuffer = reply;
            m_dataRangeCount = walk.Announced();
            m_dataRanges = reinterpret_cast<const KSDATARANGE*>(reply + ksbytes::kMultipleItemHeaderSize);
        } else {
            delete[] reply;
            KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d", int(m_pinId));
            missed = true;
        }
    }
    if (hung == S_OK && failed(ReadFixed(KSPROPERTY_PIN_DATAFLOW, &m_dataFlow, sizeof m_dataFlow))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d", int(m_pinId));
        missed = true;
    }
    if (hung == S_OK && failed(ReadFixed(KSPROPERTY_PIN_CINSTANCES, &m_instances, sizeof m_instances))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d", int(m_pinId));
        missed = true;
    }
    if (hung == S_OK &&
        failed(ReadFixed(KSPROPERTY_PIN_GLOBALCINSTANCES, &m_globalInstances, sizeof m_globalInstances))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d", int(m_pinId));
        missed = true;
    }
    if (hung == S_OK && failed(ReadFixed(KSPROPERTY_PIN_CATEGORY, &m_category, sizeof m_category))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d", int(m_pinId));
        missed = true;
    }
    if (hung == S_OK && failed(m_filter->GetPinPropertySimple(m_pinId, ksbytes::kPropSetPin, KSPROPERTY_PIN_NAME,
                                                              m_name, sizeof m_name - 1))) {
        KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d", int(m_pinId));
        missed = true;
    }
    m_name[sizeof m_name - 1] = '\0';
    HRESULT result = hung != S_OK ? hung : (missed ? S_FALSE : S_OK);
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::Init", static_cast<unsigned>(result));
    return result;
}

HRESULT CKsPin::SetPinConnect(const KSPIN_CONNECT* connect, ULONG size) {
    KsTrace(6, "%s Enter", "CKsPin::SetPinConnect()");
    HRESULT hr = S_OK;
    if (connect == nullptr) {
        hr = E_INVALIDARG;
    } else {
        delete[] reinterpret_cast<BYTE*>(m_connect);
        m_connect = nullptr;
        BYTE* copy = new (std::nothrow) BYTE[kConnectSize];
        if (copy == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            std::memset(copy, 0, kConnectSize);
            std::memcpy(copy, connect, size < kConnectSize ? size : kConnectSize);
            m_connect = reinterpret_cast<KSPIN_CONNECT*>(copy);
        }
    }
    KsTrace(6, "%s Leave", "CKsPin::SetPinConnect()");
    return hr;
}

HRESULT CKsPin::Instantiate(BOOL looped) {
    KsTrace(6, "%s Enter", "CKsPin::Instantiate()");
    HRESULT hr;
    if (m_connect == nullptr) {
        // Nothing to connect with: no request goes to the driver.
        hr = E_INVALIDARG;
    } else {
        // Instantiated again: the old instance is stopped and closed, not leaked.
        ClosePin();
        m_looped = looped;
        m_connect->Interface.Id = looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
        DWORD code = CallKsCreatePin(m_filter->GetHandle(), m_connect, GENERIC_READ | GENERIC_WRITE, &m_handle);
        if (code == 0)
            hr = S_OK;
        else if (static_cast<LONG>(code) > 0)
            hr = static_cast<HRESULT>(0x80070000u | (code & 0xFFFF));
        else
            hr = static_cast<HRESULT>(code);
        if (FAILED(hr)) KsTrace(1, "Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(hr));
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::Instantiate", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsPin::SetState(KSSTATE state) {
    KsTrace(6, "%s Enter", "CKsPin::SetState()");
    ULONG value = static_cast<ULONG>(state);
    HRESULT hr = SetPropertySimple(ksbytes::kPropSetConnection, KSPROPERTY_CONNECTION_STATE, &value, sizeof value);
    if (FAILED(hr))
        KsTrace(1, "Failed to Set Pin State");
    else
        m_state = state;
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::SetState", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsPin::StreamIoctl(ULONG code, KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    DWORD bytes = 0;
    if (KsOs().DeviceIoControl(m_handle, code, NULL, 0, header, header->Size, &bytes, overlapped)) return S_OK;
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return S_OK;
    if (code == IOCTL_KS_WRITE_STREAM)
        KsTrace(1, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x", static_cast<unsigned>(error));
    else
        KsTrace(1, "DeviceIoControl Failed!  Error=0x%08x", static_cast<unsigned>(error));
    return E_FAIL;
}

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    KsTrace(6, "%s Enter", "CKsPin::WriteData()");
    HRESULT hr = StreamIoctl(IOCTL_KS_WRITE_STREAM, header, overlapped);
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::WriteData", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsPin::ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    KsTrace(6, "%s Enter", "CKsPin::ReadData()");
    HRESULT hr = StreamIoctl(IOCTL_KS_READ_STREAM, header, overlapped);
    KsTrace(6, "%s Leave, returning %#08x", "CKsPin::ReadData", static_cast<unsigned>(hr));
    return hr;
}

void CKsPin::ClosePin() {
    KsTrace(6, "%s Enter", "CKsPin::ClosePin()");
    if (IsValidHandle(m_handle)) {
        SetState(KSSTATE_STOP);
        SafeCloseHandle(m_handle);
    }
    KsTrace(6, "%s Leave", "CKsPin::ClosePin()");
}
