#pragma once
// Reference-counted kernel-streaming objects and the synchronous property requests that
// filters and pins are built on. Results are HRESULTs; nothing here throws.

#include "ks/KsWin.h"

#include "ks/KsBytes.h"
#include "support/InFlightBlock.h"

// A request is back from the driver once its OVERLAPPED no longer says pending.
inline bool inFlightDone(const OVERLAPPED& overlapped) { return HasOverlappedIoCompleted(&overlapped); }

// Counts are plain: they change only where ports are made and destroyed and where a
// filter list is torn down, never on a port's reading thread.
class CRefCountedObject {
public:
    CRefCountedObject() = default;
    virtual ~CRefCountedObject() = default;
    CRefCountedObject(const CRefCountedObject&) = delete;
    CRefCountedObject& operator=(const CRefCountedObject&) = delete;

    void AddRef() { ++m_refCount; }
    void Release() {
        if (--m_refCount == 0) delete this;
    }
    ULONG GetRefCount() const { return m_refCount; }

private:
    ULONG m_refCount = 1;
};

class CKsIrpTarget : public CRefCountedObject {
public:
    CKsIrpTarget();

    static bool IsValidHandle(HANDLE handle);
    static BOOL SafeCloseHandle(HANDLE& handle);
    void Close();

    // A property request answers in microseconds; one that takes seconds is hung.
    static constexpr DWORD kRequestTimeoutMs = 5000;
    // How long a cancelled request is given to come back before it is left to the driver.
    static constexpr DWORD kCancelTimeoutMs = kCancelledRequestBoundMs;
    // A property reply larger than this is refused before anything is allocated: the
    // largest real one (a pin's data ranges) is a few hundred bytes, and a driver's size
    // report is not to be trusted up to 4 GB.
    static constexpr ULONG kMaxPropertyReply = 64 * 1024;
    // The result of a request that did not complete in time (HRESULT of ERROR_TIMEOUT).
    static constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4);

    // One request, waited for at most kRequestTimeoutMs and then cancelled. With an
    // output size of 0 an ERROR_MORE_DATA or ERROR_INSUFFICIENT_BUFFER answer is a size
    // probe: S_OK with the size the driver reported. Otherwise the byte count never
    // exceeds the output size.
    static HRESULT SyncIoctl(HANDLE handle, ULONG code, void* in, ULONG inSize, void* out, ULONG outSize,
                             ULONG* bytes);

    // Reads a variable-length property into a buffer allocated with new[] that the
    // caller frees with delete[]; replySize (optional) gets the byte count of the reply.
    HRESULT GetPropertyMulti(const ksbytes::KsGuid& set, ULONG id, BYTE** buffer, ULONG* replySize = nullptr);
    HRESULT SetPropertySimple(const ksbytes::KsGuid& set, ULONG id, void* value, ULONG valueSize);

    HANDLE GetHandle() const { return m_handle; }

protected:
    HANDLE m_handle;
};

GUID ToGuid(const ksbytes::KsGuid& g);
ksbytes::KsGuid FromGuid(const GUID& g);
