#include "ks/KsBytes.h"

#include <cstring>

namespace ksbytes {

bool operator==(const KsGuid& a, const KsGuid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

KsGuid ReadGuid(const uint8_t* p) {
    KsGuid g;
    std::memcpy(&g, p, sizeof g);
    return g;
}

uint32_t ReadU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool MultipleItemCount(const uint8_t* reply, size_t replySize, size_t itemSize, uint32_t* count) {
    if (reply == nullptr || replySize < kMultipleItemHeaderSize) return false;
    uint32_t n = ReadU32(reply + 4);
    if (static_cast<uint64_t>(n) * itemSize > replySize - kMultipleItemHeaderSize) return false;
    *count = n;
    return true;
}

DataRangeWalk::DataRangeWalk(const uint8_t* reply, size_t replySize, size_t minimumSize)
    : reply_(reply), size_(replySize), minimum_(minimumSize), offset_(kMultipleItemHeaderSize),
      count_(0), index_(0), ended_(false), header_(false) {
    if (reply == nullptr || replySize < kMultipleItemHeaderSize) {
        ended_ = true;
        return;
    }
    header_ = true;
    count_ = ReadU32(reply + 4);
}

const uint8_t* DataRangeWalk::Next() {
    if (ended_ || index_ >= count_) return nullptr;
    if (size_ - offset_ < 4) {
        ended_ = true;
        return nullptr;
    }
    uint32_t formatSize = ReadU32(reply_ + offset_);
    if (formatSize < minimum_ || formatSize > size_ - offset_) {
        ended_ = true;
        return nullptr;
    }
    const uint8_t* range = reply_ + offset_;
    ++index_;
    uint64_t step = (static_cast<uint64_t>(formatSize) + 7) & ~static_cast<uint64_t>(7);
    if (step > size_ - offset_) {
        // The last range may end unpadded at the reply's end; nothing can follow it.
        if (index_ < count_) ended_ = true;
        offset_ = size_;
    } else {
        offset_ += static_cast<size_t>(step);
    }
    return range;
}

bool IsMidiPortRange(const uint8_t* range) {
    if (ReadGuid(range + kMajorFormatOffset) != kDataFormatTypeMusic) return false;
    if (ReadGuid(range + kSubFormatOffset) != kDataFormatSubtypeMidi) return false;
    return ReadGuid(range + kTechnologyOffset) == kMusicTechnologyPort;
}

}  // namespace ksbytes
