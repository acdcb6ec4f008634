#pragma once
// The packet buffer of the hidden outputs. Byte-level code: no Windows headers, so it can
// be fuzzed on its own.

#include <cstdint>

// Outgoing bytes gathered into packets of a fixed size (at most 8).
class PacketBuffer {
public:
    static constexpr int kMaxSize = 8;

    explicit PacketBuffer(int size) : size_(size < 1 ? 1 : (size > kMaxSize ? kMaxSize : size)) {}

    // Stores b; true when the packet is now full and must go out.
    bool append(uint8_t b) {
        if (pending_ < kMaxSize) bytes_[pending_++] = b;
        return pending_ >= size_;
    }
    int pending() const { return pending_; }
    int free() const { return size_ - pending_; }
    int size() const { return size_; }
    const uint8_t* data() const { return bytes_; }
    void clear() { pending_ = 0; }

private:
    int size_;
    int pending_ = 0;
    uint8_t bytes_[kMaxSize] = {};
};
