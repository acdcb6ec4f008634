#include "ks/KsIrpTarget.h"


#include <cstring>
#include <new>

#include "ks/KsOsApi.h"
#include "support/Diagnostics.h"

static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY layout");
static_assert(IOCTL_KS_PROPERTY == 0x002F0003, "IOCTL_KS_PROPERTY");

GUID ToGuid(const ksbytes::KsGuid& g) {
    GUID out;
    std::memcpy(&out, &g, sizeof out);
    return out;
}

ksbytes::KsGuid FromGuid(const GUID& g) {
    ksbytes::KsGuid out;
    std::memcpy(&out, &g, sizeof out);
    return out;
}

namespace {

// One event per thread for its synchronous requests: under Wine creating and closing an
// event per request cost two round trips to the server on top of the request's own.
struct RequestEvent {
    HANDLE handle = NULL;
    ~RequestEvent() {
        if (handle) CloseHandle(handle);
    }
};

HANDLE requestEvent() {
    thread_local RequestEvent event;
    if (!event.handle) event.handle = CreateEventA(NULL, FALSE, FALSE, NULL);
    return event.handle;
}

}  // namespace

CKsIrpTarget::CKsIrpTarget() : m_handle(INVALID_HANDLE_VALUE) {}

bool CKsIrpTarget::IsValidHandle(HANDLE handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
    KsTrace(6, "%s Enter", "CKsIrpTarget::SafeCloseHandle()");
    BOOL result = TRUE;
    if (IsValidHandle(handle)) {
        result = KsOs().CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    KsTrace(6, "%s Leave", "CKsIrpTarget::SafeCloseHandle()");
    return result;
}

void CKsIrpTarget::Close() {
    KsTrace(6, "%s Enter", "CKsIrpTarget::Close()");
    SafeCloseHandle(m_handle);
    KsTrace(6, "%s Leave", "CKsIrpTarget::Close()");
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG code, void* in, ULONG inSize, void* out, ULONG outSize,
                                ULONG* bytes) {
    KsTrace(6, "%s Enter", "CKsIrpTarget::SyncIoctl()");
    HRESULT hr = S_OK;
    if (!IsValidHandle(handle)) {
        hr = E_FAIL;
        KsTrace(1, "CKsIrpTarget::SyncIoctl Invalid Handle");
    } else {
        ULONG localBytes = 0;
        ULONG* count = bytes ? bytes : &localBytes;
        OVERLAPPED overlapped;
        std::memset(&overlapped, 0, sizeof overlapped);
        HANDLE event = requestEvent();
        if (event == NULL) {
            hr = E_OUTOFMEMORY;
            KsTrace(1, "CKsIrpTarget::SyncIoctl CreateEvent failed");
        } else {
            // The low bit keeps the completion away from any I/O completion port.
            overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
            DWORD transferred = 0;
            BOOL ok = KsOs().DeviceIoControl(handle, code, in, inSize, out, outSize, &transferred, &overlapped);
            DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (!ok && error == ERROR_IO_PENDING) {
                // Property requests have no time limit: the driver completes or cancels
                // every one it pended, and the caller holds no lock meanwhile.
                // A request of this thread that completed at once may have left the event
                // signalled: only the request's own status says it is done.
                DWORD wait = WAIT_OBJECT_0;
                while (wait == WAIT_OBJECT_0 && !HasOverlappedIoCompleted(&overlapped))
                    wait = WaitForSingleObject(event, INFINITE);
                if (wait != WAIT_OBJECT_0) {
                    hr = E_FAIL;
                    transferred = 0;
                    KsTrace(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                            static_cast<unsigned>(wait));
                } else {
                    ok = KsOs().GetOverlappedResult(handle, &overlapped, &transferred, FALSE);
                    error = ok ? ERROR_SUCCESS : GetLastError();
                }
            }
            if (hr == S_OK && !ok) {
                bool probe = (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && outSize == 0;
                if (!probe) {
                    hr = E_FAIL;
                    transferred = 0;
                }
            }
            *count = transferred;
        }
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsIrpTarget::SyncIoctl", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsIrpTarget::GetPropertyMulti(const ksbytes::KsGuid& set, ULONG id, BYTE** buffer, ULONG* replySize) {
    KsTrace(6, "%s Enter", "CKsIrpTarget::GetPropertyMulti()");
    KSPROPERTY property;
    property.Set = ToGuid(set);
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    ULONG bytes = 0;
    if (replySize) *replySize = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, NULL, 0, &bytes);
    if (SUCCEEDED(hr) && bytes != 0) {
        BYTE* data = new (std::nothrow) BYTE[bytes];
        if (data == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            *buffer = data;
            ULONG size = bytes;
            hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, data, size, &bytes);
            if (replySize && SUCCEEDED(hr)) *replySize = bytes;
        }
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsIrpTarget::GetPropertyMulti", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsIrpTarget::SetPropertySimple(const ksbytes::KsGuid& set, ULONG id, void* value, ULONG valueSize) {
    KsTrace(6, "%s Enter", "CKsIrpTarget::SetPropertySimple()");
    HRESULT hr;
    KSPROPERTY* property = new (std::nothrow) KSPROPERTY;
    if (property == nullptr) {
        hr = E_OUTOFMEMORY;
    } else {
        property->Set = ToGuid(set);
        property->Id = id;
        property->Flags = KSPROPERTY_TYPE_SET;
        ULONG bytes = 0;
        // The value travels in the output-buffer position, as the property protocol has it.
        hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, property, sizeof *property, value, valueSize, &bytes);
        delete property;
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsIrpTarget::SetPropertySimple", static_cast<unsigned>(hr));
    return hr;
}
