#include "ks/KsFilter.h"


#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ks/KsOsApi.h"
#include "ks/KsPin.h"
#include "support/Diagnostics.h"

static_assert(sizeof(KSP_PIN) == 32, "KSP_PIN layout");

void CopyKsText(char (&field)[MAX_PATH], const char* text) {
    std::strncpy(field, text, MAX_PATH - 1);
    field[MAX_PATH - 1] = '\0';
}

namespace {

struct HungFilters {
    std::mutex lock;
    std::vector<std::string> paths;
    unsigned generation = 0;
};

HungFilters& hungFilters() {
    static HungFilters filters;
    return filters;
}

}  // namespace

bool IsHungFilter(const char* devicePath) {
    HungFilters& hung = hungFilters();
    std::lock_guard<std::mutex> lock(hung.lock);
    if (hung.generation != KsOsApiGeneration()) return false;
    for (const std::string& path : hung.paths)
        if (_stricmp(path.c_str(), devicePath) == 0) return true;
    return false;
}

void RememberHungFilter(const char* devicePath) {
    HungFilters& hung = hungFilters();
    std::lock_guard<std::mutex> lock(hung.lock);
    if (hung.generation != KsOsApiGeneration()) {
        hung.paths.clear();
        hung.generation = KsOsApiGeneration();
    }
    hung.paths.push_back(devicePath);
    KsTrace(1, "CKsFilter: %s let a request hang; it is not opened again", devicePath);
}

PtrList::~PtrList() {
    while (m_head) RemoveHead();
}

PtrListNode* PtrList::AddTail(void* item) {
    PtrListNode* node = new (std::nothrow) PtrListNode;
    if (node == nullptr) return nullptr;
    node->next = nullptr;
    node->prev = m_tail;
    node->item = item;
    if (m_tail)
        m_tail->next = node;
    else
        m_head = node;
    m_tail = node;
    ++m_count;
    return node;
}

void* PtrList::RemoveHead() {
    PtrListNode* node = m_head;
    if (node == nullptr) return nullptr;
    m_head = node->next;
    if (m_head)
        m_head->prev = nullptr;
    else
        m_tail = nullptr;
    --m_count;
    void* item = node->item;
    delete node;
    return item;
}

void* PtrList::GetAt(ULONG index) const {
    PtrListNode* node = m_head;
    for (ULONG i = 0; node && i < index; ++i) node = node->next;
    return node ? node->item : nullptr;
}

CKsNode::CKsNode(ULONG id, const GUID& type) : m_nodeId(id), m_nodeType(type) {
    KsTrace(6, "%s Enter", "CKsNode::CKsNode()");
    std::memcpy(m_name, "NONE", sizeof m_name);
    KsTrace(6, "%s Leave, returning %#08x", "CKsNode::CKsNode", 0u);
}

CKsFilter::CKsFilter(const char* devicePath, HRESULT* outcome) {
    KsTrace(6, "%s Enter", "CKsFilter::CKsFilter()");
    InternalInit();
    HRESULT hr = S_OK;
    if (devicePath == nullptr) {
        hr = E_INVALIDARG;
        KsTrace(1, "pszName cannot be NULL");
    } else {
        CopyKsText(m_devicePath, devicePath);
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::CKsFilter", static_cast<unsigned>(hr));
    if (outcome) *outcome = hr;
}

void CKsFilter::InternalInit() {
    KsTrace(6, "%s Enter", "CKsFilter::InternalInit()");
    std::memset(m_devicePath, 0, sizeof m_devicePath);
    std::memset(m_friendlyName, 0, sizeof m_friendlyName);
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::InternalInit", 0u);
}

CKsFilter::~CKsFilter() {
    KsTrace(6, "%s Enter", "CKsFilter::~CKsFilter()");
    HRESULT hr = CKsFilter::DestroyLists();
    SafeCloseHandle(m_handle);
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::~CKsFilter", static_cast<unsigned>(hr));
}

void CKsFilter::SetFriendlyName(const char* name) { CopyKsText(m_friendlyName, name ? name : ""); }

HRESULT CKsFilter::Instantiate() {
    KsTrace(6, "%s Enter", "CKsFilter::Instantiate()");
    // Opened again: the old handle is closed, not leaked (an exclusive open would make
    // the device look absent until the process ends).
    SafeCloseHandle(m_handle);
    m_handle = KsOs().CreateFileA(m_devicePath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    HRESULT hr = S_OK;
    if (!IsValidHandle(m_handle)) {
        hr = E_FAIL;
        KsTrace(1, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x", m_devicePath,
                static_cast<unsigned>(GetLastError()));
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::Instantiate", static_cast<unsigned>(hr));
    return hr;
}

static KSP_PIN MakePinProperty(ULONG pinId, const ksbytes::KsGuid& set, ULONG id) {
    KSP_PIN property;
    property.Property.Set = ToGuid(set);
    property.Property.Id = id;
    property.Property.Flags = KSPROPERTY_TYPE_GET;
    property.PinId = pinId;
    property.Reserved = 0;
    return property;
}

HRESULT CKsFilter::GetPinPropertySimple(ULONG pinId, const ksbytes::KsGuid& set, ULONG id, void* buffer,
                                        ULONG size, ULONG* replySize) {
    KsTrace(6, "%s Enter", "CKsFilter::GetPinPropertySimple()");
    KSP_PIN property = MakePinProperty(pinId, set, id);
    ULONG bytes = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, buffer, size, &bytes);
    if (replySize) *replySize = bytes;
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::GetPinPropertySimple", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG pinId, const ksbytes::KsGuid& set, ULONG id, BYTE** buffer,
                                       ULONG* replySize) {
    KsTrace(6, "%s Enter", "CKsFilter::GetPinPropertyMulti()");
    KSP_PIN property = MakePinProperty(pinId, set, id);
    ULONG bytes = 0;
    if (replySize) *replySize = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, NULL, 0, &bytes);
    if (SUCCEEDED(hr) && bytes > kMaxPropertyReply) {
        hr = E_FAIL;
        KsTrace(1, "CKsFilter::GetPinPropertyMulti the driver reported a reply of %lu bytes", bytes);
    }
    if (SUCCEEDED(hr)) {
        // A size of 0 still gets a block (new[] of 0 is a valid pointer) and the request is
        // repeated with it.
        BYTE* data = new (std::nothrow) BYTE[bytes];
        if (data == nullptr) {
            hr = E_OUTOFMEMORY;
        } else {
            *buffer = data;
            ULONG size = bytes;
            hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, data, size, &bytes);
            // More than the block holds is a probe's answer (the reply grew since the
            // first request, or the block is empty): there is nothing to read.
            if (SUCCEEDED(hr) && !ksbytes::ReplyFitsBlock(bytes, size)) hr = E_FAIL;
            if (replySize && SUCCEEDED(hr)) *replySize = bytes;
        }
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::GetPinPropertyMulti", static_cast<unsigned>(hr));
    return hr;
}

bool CKsFilter::AnySortedPin(bool countNoComm) const {
    return m_inSinkPins.GetCount() || m_outSourcePins.GetCount() || m_outSinkPins.GetCount() ||
           m_inSourcePins.GetCount() || (countNoComm && m_noCommPins.GetCount());
}

HRESULT CKsFilter::EnumeratePins() {
    KsTrace(6, "%s Enter", "CKsFilter::EnumeratePins()");
    ULONG count = 0;
    KsTrace(6, "%s Enter", "CKsFilter::GetPinPropertySimple()");
    KSP_PIN property = MakePinProperty(0, ksbytes::kPropSetPin, KSPROPERTY_PIN_CTYPES);
    ULONG bytes = 0;
    HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof property, &count, sizeof count, &bytes);
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::GetPinPropertySimple", static_cast<unsigned>(hr));
    if (SUCCEEDED(hr) && bytes < sizeof count) hr = E_FAIL;
    if (SUCCEEDED(hr)) {
        for (ULONG pinId = 0; pinId < count; ++pinId) {
            HRESULT outcome = S_OK;
            CKsPin* pin = new (std::nothrow) CKsPin(this, pinId, &outcome);
            if (pin == nullptr) {
                KsTrace(1, "Failed to create pin");
            } else if (FAILED(outcome)) {
                KsTrace(1, "Failed to construct pin");
                delete pin;
            } else if (m_pins.AddTail(pin) == nullptr) {
                KsTrace(1, "Failed to add pin to list");
                delete pin;
            }
        }
    }
    hr = ClassifyPins();
    if (!AnySortedPin(true)) {
        KsTrace(1, "Filter is not viable. It has no pins.");
        hr = E_FAIL;
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::EnumeratePins", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsFilter::ClassifyPins() {
    KsTrace(6, "%s Enter", "CKsFilter::ClassifyPins()");
    HRESULT hr = S_OK;
    for (PtrListNode* node = m_pins.GetHead(); node && hr == S_OK; node = node->next) {
        CKsPin* pin = static_cast<CKsPin*>(node->item);
        ULONG communication = pin->GetCommunication();
        ULONG dataFlow = pin->GetDataFlow();
        bool in = dataFlow == KSPIN_DATAFLOW_IN;
        bool ok = true;
        switch (communication) {
        case KSPIN_COMMUNICATION_NONE:
            ok = m_noCommPins.AddTail(pin) != nullptr;
            break;
        case KSPIN_COMMUNICATION_SINK:
            ok = (in ? m_inSinkPins : m_outSinkPins).AddTail(pin) != nullptr;
            break;
        case KSPIN_COMMUNICATION_SOURCE:
            ok = (in ? m_inSourcePins : m_outSourcePins).AddTail(pin) != nullptr;
            break;
        case KSPIN_COMMUNICATION_BOTH: {
            bool sink = (in ? m_inSinkPins : m_outSinkPins).AddTail(pin) != nullptr;
            bool source = (in ? m_inSourcePins : m_outSourcePins).AddTail(pin) != nullptr;
            ok = sink && source;
            break;
        }
        default:
            KsTrace(5, "Pin communication type not recognized");
            break;
        }
        if (!ok) hr = E_OUTOFMEMORY;
    }
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::ClassifyPins", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsFilter::EnumerateNodes() {
    KsTrace(6, "%s Enter", "CKsFilter::EnumerateNodes()");
    while (m_nodes.GetCount()) delete static_cast<CKsNode*>(m_nodes.RemoveHead());
    BYTE* buffer = nullptr;
    ULONG replySize = 0;
    HRESULT hr = GetPropertyMulti(ksbytes::kPropSetTopology, KSPROPERTY_TOPOLOGY_NODES, &buffer, &replySize);
    if (FAILED(hr)) {
        KsTrace(4, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
    } else if (buffer != nullptr) {
        uint32_t count = 0;
        if (!ksbytes::MultipleItemCount(buffer, replySize, sizeof(GUID), &count)) {
            hr = E_FAIL;
        } else {
            const BYTE* item = buffer + ksbytes::kMultipleItemHeaderSize;
            for (uint32_t i = 0; i < count; ++i, item += sizeof(GUID)) {
                CKsNode* node = new (std::nothrow) CKsNode(i, ToGuid(ksbytes::ReadGuid(item)));
                if (node == nullptr) continue;
                if (m_nodes.AddTail(node) == nullptr) {
                    hr = E_OUTOFMEMORY;
                    delete node;
                }
            }
            if (m_nodes.GetCount() != count) hr = E_FAIL;
        }
        if (FAILED(hr)) {
            while (m_nodes.GetCount()) delete static_cast<CKsNode*>(m_nodes.RemoveHead());
        }
    }
    delete[] buffer;
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::EnumerateNodes", static_cast<unsigned>(hr));
    return hr;
}

HRESULT CKsFilter::DestroyLists() {
    KsTrace(6, "%s Enter", "CKsFilter::DestroyLists()");
    while (m_nodes.GetCount()) delete static_cast<CKsNode*>(m_nodes.RemoveHead());
    while (m_pins.GetCount()) delete static_cast<CKsPin*>(m_pins.RemoveHead());
    PtrList* sorted[] = {&m_inSinkPins, &m_outSourcePins, &m_outSinkPins, &m_inSourcePins, &m_noCommPins};
    for (PtrList* list : sorted)
        while (list->GetCount()) list->RemoveHead();
    KsTrace(6, "%s Leave, returning %#08x", "CKsFilter::DestroyLists", 0u);
    return S_OK;
}
