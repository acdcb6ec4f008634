#pragma once
// One pin type of a filter: its description read from the driver at construction, and,
// once instantiated through KsCreatePin, its state changes and stream I/O. The filter
// owns its pins. ReadData runs on a port's reading thread; the ports order their
// teardown so that no read is outstanding when the pin is closed.

#include "ks/KsWin.h"

#include "ks/KsIrpTarget.h"

class CKsFilter;

// A stream request as the driver holds it: its header and its OVERLAPPED, in the block
// the port hands over (InFlightBlock), the MIDI frame in the block's data.
struct KsStreamRequest {
    KSSTREAM_HEADER header;
    OVERLAPPED overlapped;
};
inline bool inFlightDone(const KsStreamRequest& request) { return inFlightDone(request.overlapped); }

class CKsPin : public CKsIrpTarget {
public:
    CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* outcome);
    ~CKsPin() override;

    virtual HRESULT Instantiate(BOOL looped);
    virtual HRESULT SetState(KSSTATE state);

    // S_OK, S_FALSE when some property was not read, or kTimedOut when the driver let
    // a request hang (the rest are not asked).
    HRESULT Init();
    HRESULT SetPinConnect(const KSPIN_CONNECT* connect, ULONG size);
    HRESULT WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
    HRESULT ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
    void ClosePin();

    ULONG GetDataFlow() const;
    ULONG GetCommunication() const;

    ULONG GetPinId() const { return m_pinId; }
    CKsFilter* GetFilter() const { return m_filter; }
    KSSTATE GetState() const { return m_state; }
    BOOL IsLooped() const { return m_looped; }
    const GUID& GetCategory() const { return m_category; }
    const char* GetName() const { return m_name; }
    const KSPIN_CINSTANCES& GetInstances() const { return m_instances; }
    const KSPIN_CINSTANCES& GetGlobalInstances() const { return m_globalInstances; }
    ULONG GetInterfaceCount() const { return m_interfaceCount; }
    const KSIDENTIFIER* GetInterfaces() const { return m_interfaces; }
    ULONG GetMediumCount() const { return m_mediumCount; }
    const KSIDENTIFIER* GetMediums() const { return m_mediums; }
    // Every announced range lies whole (at least 64 bytes) inside the reply.
    ULONG GetDataRangeCount() const { return m_dataRangeCount; }
    const KSDATARANGE* GetDataRanges() const { return m_dataRanges; }
    const KSPIN_CONNECT* GetConnect() const { return m_connect; }

    // A KSPIN_CONNECT followed by a 64-byte KSDATAFORMAT.
    static constexpr ULONG kConnectSize = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);

private:
    // A property of exactly size bytes; at most 16.
    HRESULT ReadFixed(ULONG id, void* field, ULONG size);
    HRESULT ReadIdentifiers(ULONG id, BYTE** buffer, ULONG* count, const KSIDENTIFIER** first);
    HRESULT StreamIoctl(ULONG code, KSSTREAM_HEADER* header, OVERLAPPED* overlapped);

    KSPIN_CONNECT* m_connect;
    ULONG m_pinId;
    CKsFilter* m_filter;
    GUID m_category;
    ULONG m_interfaceCount;
    const KSIDENTIFIER* m_interfaces;
    ULONG m_mediumCount;
    const KSIDENTIFIER* m_mediums;
    ULONG m_dataRangeCount;
    const KSDATARANGE* m_dataRanges;
    ULONG m_dataFlow;
    ULONG m_communication;
    KSPIN_CINSTANCES m_instances;
    KSPIN_CINSTANCES m_globalInstances;
    BYTE* m_dataRangeBuffer;
    BYTE* m_mediumBuffer;
    BYTE* m_interfaceBuffer;
    KSSTATE m_state;
    char m_name[MAX_PATH];
    BOOL m_looped;
};

static_assert(CKsPin::kConnectSize == (sizeof(void*) == 8 ? 136 : 128), "connect block size");
static_assert(sizeof(KSSTREAM_HEADER) == (sizeof(void*) == 8 ? 56 : 48), "stream header size");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT size");
