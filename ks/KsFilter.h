#pragma once
// A kernel-streaming filter opened from its device interface path, its topology nodes
// and its pins sorted by data flow and communication. Built, enumerated and destroyed
// on one thread; afterwards the lists do not change, so pins may be used elsewhere.

#include "ks/KsWin.h"

#include "ks/KsIrpTarget.h"

class CKsPin;

struct PtrListNode {
    PtrListNode* next;
    PtrListNode* prev;
    void* item;
};

// Doubly linked list of object pointers; it never owns the items.
class PtrList {
public:
    PtrList() = default;
    ~PtrList();
    PtrList(const PtrList&) = delete;
    PtrList& operator=(const PtrList&) = delete;

    // NULL (list unchanged) when the node cannot be allocated.
    PtrListNode* AddTail(void* item);
    // Unlinks and frees the head node and gives its item (NULL when empty).
    void* RemoveHead();
    // Item at a position, or NULL beyond the end.
    void* GetAt(ULONG index) const;
    ULONG GetCount() const { return m_count; }
    PtrListNode* GetHead() const { return m_head; }

private:
    PtrListNode* m_head = nullptr;
    PtrListNode* m_tail = nullptr;
    ULONG m_count = 0;
};

struct CKsNode {
    CKsNode(ULONG id, const GUID& type);
    ULONG m_nodeId;
    char m_name[4];  // "NONE", not terminated
    GUID m_nodeType;
};

class CKsFilter : public CKsIrpTarget {
public:
    CKsFilter(const char* devicePath, HRESULT* outcome);
    ~CKsFilter() override;

    virtual HRESULT Instantiate();
    virtual HRESULT EnumerateNodes();
    virtual HRESULT EnumeratePins();
    virtual HRESULT DestroyLists();

    HRESULT ClassifyPins();
    // replySize (optional) gets the byte count the driver completed the request with.
    HRESULT GetPinPropertySimple(ULONG pinId, const ksbytes::KsGuid& set, ULONG id, void* buffer, ULONG size,
                                 ULONG* replySize = nullptr);
    // Allocates with new[]; the caller frees with delete[]. replySize (optional) gets the
    // byte count the driver completed the request with.
    HRESULT GetPinPropertyMulti(ULONG pinId, const ksbytes::KsGuid& set, ULONG id, BYTE** buffer,
                                ULONG* replySize = nullptr);

    const char* GetDevicePath() const { return m_devicePath; }
    const char* GetFriendlyName() const { return m_friendlyName; }
    void SetFriendlyName(const char* name);

    const PtrList& Nodes() const { return m_nodes; }
    const PtrList& Pins() const { return m_pins; }
    const PtrList& InSinkPins() const { return m_inSinkPins; }
    const PtrList& OutSourcePins() const { return m_outSourcePins; }
    const PtrList& OutSinkPins() const { return m_outSinkPins; }
    const PtrList& InSourcePins() const { return m_inSourcePins; }
    const PtrList& NoCommPins() const { return m_noCommPins; }

protected:
    void InternalInit();
    bool AnySortedPin(bool countNoComm) const;

    PtrList m_nodes;
    PtrList m_pins;
    PtrList m_inSinkPins;
    PtrList m_outSourcePins;
    PtrList m_outSinkPins;
    PtrList m_inSourcePins;
    PtrList m_noCommPins;
    char m_devicePath[MAX_PATH];
    char m_friendlyName[MAX_PATH];
};

// Filters whose driver let a request hang are remembered for the process (for the OS table
// in force) and not opened again: every enumeration would hang as long, on its caller's
// thread. Safe from any thread.
bool IsHungFilter(const char* devicePath);
void RememberHungFilter(const char* devicePath);

// Copies at most 259 characters and always terminates.
void CopyKsText(char (&field)[MAX_PATH], const char* text);
