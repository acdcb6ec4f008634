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

thread_local RequestEvent t_requestEvent;

HANDLE requestEvent() {
    if (!t_requestEvent.handle) t_requestEvent.handle = CreateEventA(NULL, FALSE, FALSE, NULL);
    return t_requestEvent.handle;
}

// An event a driver still owns is left to it; the thread's next request makes a new one.
void forgetRequestEvent() { t_requestEvent.handle = NULL; }

// Waits for this request's own completion: an earlier request of the thread that completed
// at once may have left the shared event signalled.
DWORD waitForRequest(HANDLE event, const OVERLAPPED& overlapped, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD wait = WAIT_OBJECT_0;
    while (wait == WAIT_OBJECT_0 && !HasOverlappedIoCompleted(&overlapped)) {
        const ULONGLONG now = GetTickCount64();
        wait = now >= deadline ? WAIT_TIMEOUT : WaitForSingleObject(event, static_cast<DWORD>(deadline - now));
    }
    return wait;
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

namespace {

// Everything the driver may touch while a request is outstanding: the OVERLAPPED and
// copies of both buffers, in one block. A request that the driver never gives back,
// even when cancelled, keeps its block and its event for good.
class RequestBlock {
public:
    // A SET's value travels in the output buffer and is copied in (copyOut); a GET's output
    // buffer is the driver's to fill and starts empty.
    static RequestBlock* Make(const void* in, ULONG inSize, const void* out, ULONG outSize, bool copyOut) {
        const size_t inAt = Align(sizeof(RequestBlock));
        const size_t outAt = inAt + Align(inSize);
        BYTE* raw = new (std::nothrow) BYTE[outAt + outSize];
        if (raw == nullptr) return nullptr;
        RequestBlock* block = new (raw) RequestBlock;
        std::memset(&block->overlapped, 0, sizeof block->overlapped);
        block->in = inSize ? raw + inAt : nullptr;
        block->out = outSize ? raw + outAt : nullptr;
        if (in && inSize) std::memcpy(block->in, in, inSize);
        if (block->out) {
            if (out && copyOut)
                std::memcpy(block->out, out, outSize);
            else
                std::memset(block->out, 0, outSize);
        }
        return block;
    }
    static void Free(RequestBlock* block) { delete[] reinterpret_cast<BYTE*>(block); }

    OVERLAPPED overlapped;
    BYTE* in;
    BYTE* out;

private:
    static size_t Align(size_t n) { return (n + 15) & ~size_t(15); }
};

bool IsSetRequest(ULONG code, const void* in, ULONG inSize) {
    return code == IOCTL_KS_PROPERTY && in != nullptr && inSize >= sizeof(KSPROPERTY) &&
           (static_cast<const KSPROPERTY*>(in)->Flags & KSPROPERTY_TYPE_SET) != 0;
}

}  // namespace

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG code, void* in, ULONG inSize, void* out, ULONG outSize,
                                ULONG* bytes) {
    KsTrace(6, "%s Enter", "CKsIrpTarget::SyncIoctl()");
    HRESULT hr = S_OK;
    ULONG localBytes = 0;
    ULONG* count = bytes ? bytes : &localBytes;
    RequestBlock* block = nullptr;
    HANDLE event = NULL;
    if (!IsValidHandle(handle)) {
        hr = E_FAIL;
        KsTrace(1, "CKsIrpTarget::SyncIoctl Invalid Handle");
    } else if ((block = RequestBlock::Make(in, inSize, out, outSize, IsSetRequest(code, in, inSize))) == nullptr) {
        hr = E_OUTOFMEMORY;
    } else if ((event = requestEvent()) == NULL) {
        hr = E_OUTOFMEMORY;
        KsTrace(1, "CKsIrpTarget::SyncIoctl CreateEvent failed");
    }
    if (hr == S_OK) {
        bool abandoned = false;
        bool probe = false;
        // The low bit keeps the completion away from any I/O completion port.
        block->overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
        DWORD transferred = 0;
        BOOL ok = KsOs().DeviceIoControl(handle, code, block->in, inSize, block->out, outSize, &transferred,
                                         &block->overlapped);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            DWORD wait = waitForRequest(event, block->overlapped, kRequestTimeoutMs);
            if (wait == WAIT_OBJECT_0) {
                ok = KsOs().GetOverlappedResult(handle, &block->overlapped, &transferred, FALSE);
                error = ok ? ERROR_SUCCESS : GetLastError();
            } else {
                hr = wait == WAIT_TIMEOUT ? kTimedOut : E_FAIL;
                KsTrace(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                        static_cast<unsigned>(wait));
                // Cancellation is asynchronous: the block is the driver's until it says so.
                KsOs().CancelIoEx(handle, &block->overlapped);
                if (waitForRequest(event, block->overlapped, kCancelTimeoutMs) != WAIT_OBJECT_0) {
                    abandoned = true;
                    forgetRequestEvent();  // the driver may still signal it: never reused
                    KsTrace(1, "CKsIrpTarget::SyncIoctl the driver kept a cancelled request; its buffers stay allocated");
                }
            }
        }
        if (hr == S_OK && !ok) {
            probe = (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA) && outSize == 0;
            if (!probe) hr = E_FAIL;
        }
        if (hr != S_OK) {
            transferred = 0;
        } else if (!probe) {
            // A count beyond the buffer is the driver's mistake; nobody reads past the buffer.
            transferred = ksbytes::ClampToBuffer(transferred, outSize);
            if (out && transferred) std::memcpy(out, block->out, transferred);
        }
        *count = transferred;
        if (!abandoned) RequestBlock::Free(block);
    } else {
        RequestBlock::Free(block);
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
