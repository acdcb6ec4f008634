#include "ks/KsIrpTarget.h"


#include <cstring>
#include <new>

#include "ks/KsOsApi.h"
#include "support/Diagnostics.h"
#include "support/InFlightBlock.h"

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
// event per request cost two round trips to the server on top of the request's own. A
// request takes the thread's event and gives it back once the driver has; an event left
// to the driver is never reused, and the thread's next request makes a new one.
struct RequestEvent {
    HANDLE handle = NULL;
    ~RequestEvent() {
        if (handle) CloseHandle(handle);
    }
};

thread_local RequestEvent t_requestEvent;

HANDLE takeRequestEvent() {
    HANDLE event = t_requestEvent.handle ? t_requestEvent.handle : CreateEventA(NULL, FALSE, FALSE, NULL);
    t_requestEvent.handle = NULL;
    return event;
}

void giveBackRequestEvent(HANDLE event) {
    if (t_requestEvent.handle)
        CloseHandle(event);
    else
        t_requestEvent.handle = event;
}

size_t Align(size_t n) { return (n + 15) & ~size_t(15); }

// A SET's value travels in the output buffer; a GET's output buffer is the driver's to
// fill and starts empty.
bool IsSetRequest(ULONG code, const void* in, ULONG inSize) {
    return code == IOCTL_KS_PROPERTY && in != nullptr && inSize >= sizeof(KSPROPERTY) &&
           (static_cast<const KSPROPERTY*>(in)->Flags & KSPROPERTY_TYPE_SET) != 0;
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
    ULONG localBytes = 0;
    ULONG* count = bytes ? bytes : &localBytes;
    if (!IsValidHandle(handle)) {
        KsTrace(1, "CKsIrpTarget::SyncIoctl Invalid Handle");
        KsTrace(6, "%s Leave, returning %#08x", "CKsIrpTarget::SyncIoctl", static_cast<unsigned>(E_FAIL));
        return E_FAIL;
    }
    *count = 0;
    // The OVERLAPPED and copies of both buffers: everything the driver may touch while the
    // request is outstanding, in one block it may keep.
    const size_t outAt = Align(inSize);
    InFlightBlock<OVERLAPPED> request("CKsIrpTarget::SyncIoctl", outAt + outSize, takeRequestEvent());
    if (!request.valid()) {
        hr = E_OUTOFMEMORY;
        if (request.event() == NULL) KsTrace(1, "CKsIrpTarget::SyncIoctl CreateEvent failed");
    } else {
        BYTE* inCopy = inSize ? request.data() : nullptr;
        BYTE* outCopy = outSize ? request.data() + outAt : nullptr;
        if (inCopy && in) std::memcpy(inCopy, in, inSize);
        if (outCopy && out && IsSetRequest(code, in, inSize)) std::memcpy(outCopy, out, outSize);
        // The low bit keeps the completion away from any I/O completion port.
        request.header().hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(request.event()) | 1);
        DWORD transferred = 0;
        BOOL ok = KsOs().DeviceIoControl(handle, code, inCopy, inSize, outCopy, outSize, &transferred,
                                         &request.header());
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            request.handOver();
            if (request.wait(kRequestTimeoutMs)) {
                ok = KsOs().GetOverlappedResult(handle, &request.header(), &transferred, FALSE);
                error = ok ? ERROR_SUCCESS : GetLastError();
            } else {
                hr = kTimedOut;
                KsTrace(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                        static_cast<unsigned>(WAIT_TIMEOUT));
                if (!request.cancelAndWait([&] { KsOs().CancelIoEx(handle, &request.header()); }, kCancelTimeoutMs))
                    request.abandon();
            }
        }
        if (hr == S_OK && !ok) {
            const bool probe = (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && outSize == 0;
            if (probe)
                *count = transferred;
            else
                hr = E_FAIL;
        } else if (hr == S_OK) {
            // A count beyond the buffer is the driver's mistake; nobody reads past the buffer.
            *count = ksbytes::ClampToBuffer(transferred, outSize);
            if (out && *count) std::memcpy(out, outCopy, *count);
        }
    }
    if (HANDLE event = request.takeEvent()) giveBackRequestEvent(event);
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
    if (SUCCEEDED(hr) && bytes > kMaxPropertyReply) {
        hr = E_FAIL;
        KsTrace(1, "CKsIrpTarget::GetPropertyMulti the driver reported a reply of %lu bytes", bytes);
    }
    if (SUCCEEDED(hr) && bytes != 0) {
        BYTE* data = new (std::nothrow) BYTE[bytes];
        if (data == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            *buffer = data;
            ULONG size = bytes;
            hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, data, size, &bytes);
            // More than the block holds is a probe's answer: the reply grew meanwhile.
            if (SUCCEEDED(hr) && !ksbytes::ReplyFitsBlock(bytes, size)) hr = E_FAIL;
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
