#pragma once
// The firmware file held whole in memory, with a cursor from which the update takes
// one SysEx message after another. Only message ends are looked for; the content is
// sent as the file holds it.

#include <cstdint>
#include <memory>
#include <vector>

class FirmwareImage {
public:
    static const uint32_t kProgressTotal = 13000;
    static const uint8_t kStartMarker = 0x71;  // byte 5 of a start message

    // Reads a regular file whole. A missing file, a directory, an unreadable file or
    // one whose size does not fit memory or 32 bits gives false and leaves the image empty.
    bool load(const char* path);
    // Takes the bytes as the file's content (what load does after reading).
    void assign(const uint8_t* bytes, uint32_t count);

    // The start message, when the image has one at its cursor.
    bool takeStartMessage(std::vector<uint8_t>& message);
    // The next message up to and including its F7. Bytes after the last F7 are not a
    // message: they are dropped (with a diagnostic) and false is returned.
    bool takeNextMessage(std::vector<uint8_t>& message);
    // The same step without a copy: where the next message lies in data() and its length,
    // so a caller can judge a message before copying any of it.
    bool takeNextMessageExtent(uint32_t& offset, uint32_t& length);

    uint32_t size() const { return size_; }
    const uint8_t* data() const { return data_.get(); }
    uint32_t cursor() const { return cursor_; }
    uint32_t total() const { return total_; }
    bool valid() const { return valid_; }
    void setValid(bool valid) { valid_ = valid; }

    // What the last scan dropped after the last F7, and whether an F0 was among it
    // (a message that was cut off: the file was not sent whole).
    uint32_t droppedTailBytes() const { return droppedTail_; }
    bool droppedTailHadStart() const { return droppedTailHadStart_; }

private:
    bool takeThroughF7(std::vector<uint8_t>& message);
    bool advanceThroughF7(uint32_t& offset, uint32_t& length);
    void clear();

    uint32_t size_ = 0;
    std::unique_ptr<uint8_t[]> data_;
    uint32_t cursor_ = 0;
    uint32_t total_ = 0;
    bool valid_ = false;
    uint32_t droppedTail_ = 0;
    bool droppedTailHadStart_ = false;
};
