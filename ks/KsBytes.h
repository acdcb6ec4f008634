#pragma once
// Byte-level reading of kernel-streaming property replies: KSMULTIPLE_ITEM headers and
// the data ranges that follow one another in a KSPROPERTY_PIN_DATARANGES reply.
// Windows-free so that it also builds on Linux for sanitizers and fuzzing. Every read
// stays inside the reply's byte count as the driver completed it.

#include <cstddef>
#include <cstdint>

namespace ksbytes {

// Same layout as the Windows GUID.
struct KsGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
static_assert(sizeof(KsGuid) == 16, "GUID layout");

bool operator==(const KsGuid& a, const KsGuid& b);
inline bool operator!=(const KsGuid& a, const KsGuid& b) { return !(a == b); }

KsGuid ReadGuid(const uint8_t* p);
uint32_t ReadU32(const uint8_t* p);

constexpr KsGuid kKsCategoryAudio = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr KsGuid kPropSetPin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
constexpr KsGuid kPropSetTopology = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr KsGuid kPropSetConnection = {0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr KsGuid kDataFormatTypeMusic = {0xE725D360, 0x62CC, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr KsGuid kDataFormatSubtypeMidi = {0x1D262760, 0xE957, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr KsGuid kMusicTechnologyPort = {0x86C92E60, 0x62E8, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr KsGuid kInterfaceSetStandard = {0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr KsGuid kMediumSetStandard = {0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// KSMULTIPLE_ITEM: 32-bit total size, 32-bit count, then the items.
constexpr size_t kMultipleItemHeaderSize = 8;
// KSDATARANGE: FormatSize, Flags, SampleSize, Reserved, then MajorFormat, SubFormat,
// Specifier; a music range carries its Technology GUID right after those 64 bytes.
constexpr size_t kDataRangeSize = 64;
constexpr size_t kMajorFormatOffset = 16;
constexpr size_t kSubFormatOffset = 32;
constexpr size_t kSpecifierOffset = 48;
constexpr size_t kTechnologyOffset = 64;
constexpr size_t kMusicRangeMinimum = 80;

// The byte count a reader may use of a request that completed successfully: what the
// driver reported, never more than the buffer it was given.
inline uint32_t ClampToBuffer(uint64_t reported, uint32_t bufferSize) {
    return reported > bufferSize ? bufferSize : static_cast<uint32_t>(reported);
}

// Whether the answer to a repeated request fits the block allocated after the probe;
// more is a probe's answer (the reply grew meanwhile), which is no reply at all.
inline bool ReplyFitsBlock(uint32_t reported, uint32_t blockSize) { return reported <= blockSize; }

// Checks a reply of fixed-size items: the header must be there and Count items of
// itemSize bytes must fit in the reply. Gives the count on success.
bool MultipleItemCount(const uint8_t* reply, size_t replySize, size_t itemSize, uint32_t* count);

// Walks the data ranges of a KSMULTIPLE_ITEM reply. Each range starts at an 8-byte
// aligned offset after the previous one (its FormatSize rounded up to 8). The walk ends
// at the header's Count, or at the first range whose FormatSize is below minimumSize or
// that runs past the reply.
class DataRangeWalk {
public:
    DataRangeWalk(const uint8_t* reply, size_t replySize, size_t minimumSize);
    // The next range that can be read whole, or nullptr when the walk has ended.
    const uint8_t* Next();
    // True when every range the header announced was read whole.
    bool Complete() const { return header_ && index_ == count_; }
    uint32_t Announced() const { return count_; }

private:
    const uint8_t* reply_;
    size_t size_;
    size_t minimum_;
    size_t offset_;
    uint32_t count_;
    uint32_t index_;
    bool ended_;
    bool header_;
};

// MajorFormat music, SubFormat MIDI, Technology port, compared in that order. The range
// must hold at least kMusicRangeMinimum bytes.
bool IsMidiPortRange(const uint8_t* range);

}  // namespace ksbytes
