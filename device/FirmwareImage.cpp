#include "device/FirmwareImage.h"

#include <cstring>
#include <new>

#include "support/Diagnostics.h"

void FirmwareImage::clear() {
    size_ = 0;
    data_.reset();
    cursor_ = 0;
    total_ = 0;
    droppedTail_ = 0;
    droppedTailHadStart_ = false;
}

void FirmwareImage::assign(const uint8_t* bytes, uint32_t count) {
    clear();
    if (count) {
        data_.reset(new uint8_t[count]);
        std::memcpy(data_.get(), bytes, count);
    }
    size_ = count;
    total_ = kProgressTotal;
}

bool FirmwareImage::takeStartMessage(std::vector<uint8_t>& message) {
    // A start message needs its marker inside the data: a file of 1 to 5 bytes has none.
    if (cursor_ >= size_ || size_ - cursor_ <= 5 || data_[cursor_ + 5] != kStartMarker) return false;
    const uint8_t* begin = data_.get() + cursor_;
    const uint8_t* f7 = static_cast<const uint8_t*>(std::memchr(begin, 0xF7, size_ - cursor_));
    if (!f7) return false;  // left for takeNextMessage to drop as an unterminated tail
    // The marker must lie inside the message: a first message that ends before byte 5
    // is an ordinary data message, whatever follows it.
    if (f7 - begin < 5) return false;
    return takeThroughF7(message);
}

bool FirmwareImage::takeNextMessage(std::vector<uint8_t>& message) {
    if (cursor_ >= size_) return false;
    return takeThroughF7(message);
}

bool FirmwareImage::takeNextMessageExtent(uint32_t& offset, uint32_t& length) {
    if (cursor_ >= size_) return false;
    return advanceThroughF7(offset, length);
}

bool FirmwareImage::takeThroughF7(std::vector<uint8_t>& message) {
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!advanceThroughF7(offset, length)) return false;
    message.assign(data_.get() + offset, data_.get() + offset + length);
    return true;
}

bool FirmwareImage::advanceThroughF7(uint32_t& offset, uint32_t& length) {
    const uint8_t* begin = data_.get() + cursor_;
    uint32_t left = size_ - cursor_;
    const uint8_t* f7 = static_cast<const uint8_t*>(std::memchr(begin, 0xF7, left));
    if (!f7) {
        droppedTail_ = left;
        droppedTailHadStart_ = std::memchr(begin, 0xF0, left) != nullptr;
        diagnosticPrint("FirmwareImage: %u bytes after the last F7 dropped%s\n", left,
                        droppedTailHadStart_ ? " (an unterminated message)" : "");
        cursor_ = size_;
        return false;
    }
    offset = cursor_;
    length = static_cast<uint32_t>(f7 - begin) + 1;
    cursor_ += length;
    return true;
}
