#pragma once
// The present device interfaces of a category, one opened CKsMidiFilter per device that
// has MIDI pins, and the MIDI pin's connect block. A list lives for one query of the
// device manager; a port that keeps a filter holds its own reference.

#include "ks/KsWin.h"

#include <new>

#include "ks/KsFilter.h"
#include "ks/KsPin.h"

struct DeviceRecord {
    char path[MAX_PATH];
    char imagePath[MAX_PATH];
    char friendlyName[MAX_PATH];
};
static_assert(sizeof(DeviceRecord) == 780, "DeviceRecord layout");

// The process-wide test by which a pin is taken as MIDI. The range handed to it always
// has at least 80 bytes inside the driver's reply (a KSDATARANGE and a Technology GUID).
typedef bool (*MidiDataRangePredicate)(const KSDATARANGE* range);
extern MidiDataRangePredicate IsMidiDataRange;
// MajorFormat music, SubFormat MIDI, Technology port.
bool DefaultIsMidiDataRange(const KSDATARANGE* range);

class CDeviceList {
public:
    static constexpr ULONG kMaxDevices = 32;

    CDeviceList() = default;
    virtual bool OnDeviceAdded(DeviceRecord* record);
    virtual void OnDeviceRemoved(DeviceRecord* record);
    virtual ~CDeviceList();
    CDeviceList(const CDeviceList&) = delete;
    CDeviceList& operator=(const CDeviceList&) = delete;

    void SetCategory(const GUID& category) { m_category = category; }
    // Adds every present interface of the category not yet in the list. Interfaces
    // beyond the table's 32 entries are left out.
    void EnumerateDevices();
    void AddDevice(HDEVINFO set, const char* path);

    ULONG GetDeviceCount() const { return m_recordCount; }
    DeviceRecord* GetDeviceRecord(ULONG index) const { return index < m_recordCount ? m_records[index] : nullptr; }
    DeviceRecord* FindDeviceRecord(const char* path) const;

protected:
    GUID m_category = GUID_NULL;
    DeviceRecord* m_records[kMaxDevices] = {};
    ULONG m_recordCount = 0;
};

DeviceRecord* BuildDeviceRecord(const char* path);

class CKsMidiFilter : public CKsFilter {
public:
    CKsMidiFilter(const char* devicePath, HRESULT* outcome) : CKsFilter(devicePath, outcome) {}
    HRESULT EnumeratePins() override;
};

class CKsMidiPin : public CKsPin {
public:
    CKsMidiPin(CKsFilter* filter, ULONG pinId, HRESULT* outcome) : CKsPin(filter, pinId, outcome) {}
    HRESULT Instantiate(BOOL looped) override;
};

template <typename T>
class TKsFilterList : public CDeviceList {
public:
    explicit TKsFilterList(const GUID& category) { SetCategory(category); }

    bool OnDeviceAdded(DeviceRecord* record) override {
        if (m_filterCount >= kMaxDevices || IsHungFilter(record->path)) return false;
        HRESULT outcome = S_OK;
        T* filter = new (std::nothrow) T(record->path, &outcome);
        if (filter == nullptr) return false;
        if (SUCCEEDED(outcome)) outcome = filter->Instantiate();
        if (SUCCEEDED(outcome)) outcome = filter->EnumeratePins();
        if (outcome == CKsIrpTarget::kTimedOut) RememberHungFilter(record->path);
        if (FAILED(outcome) || !AcceptFilter(filter)) {
            filter->Release();
            return false;
        }
        filter->SetFriendlyName(record->friendlyName);
        m_filters[m_filterCount] = filter;
        m_filterRecords[m_filterCount] = record;
        ++m_filterCount;
        return true;
    }

    void OnDeviceRemoved(DeviceRecord* record) override {
        for (ULONG i = 0; i < m_filterCount && i < kMaxDevices; ++i) {
            if (m_filterRecords[i] != record) continue;
            if (m_filters[i]) {
                m_filters[i]->Close();
                m_filters[i]->Release();
            }
            m_filters[i] = nullptr;
            m_filterRecords[i] = nullptr;
        }
    }

    ~TKsFilterList() override {
        while (m_filterCount > 0) {
            --m_filterCount;
            if (m_filters[m_filterCount]) m_filters[m_filterCount]->Release();
            m_filters[m_filterCount] = nullptr;
        }
    }

    virtual bool AcceptFilter(T*) { return true; }

    T* GetFilter(ULONG index) const { return index < kMaxDevices && index < m_filterCount ? m_filters[index] : nullptr; }
    ULONG GetFilterCount() const { return m_filterCount; }
    DeviceRecord* GetFilterRecord(ULONG index) const {
        return index < kMaxDevices && index < m_filterCount ? m_filterRecords[index] : nullptr;
    }

private:
    T* m_filters[kMaxDevices] = {};
    DeviceRecord* m_filterRecords[kMaxDevices] = {};
    ULONG m_filterCount = 0;
};
