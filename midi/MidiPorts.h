#pragma once
// The contracts every MIDI port of the library follows. An input port is fed raw bytes by
// its receiving thread (parseInput, not locked: one thread only) and polled by the
// application through the two locked queues.

#include <cstddef>
#include <cstdint>

#include "midi/LockedQueue.h"
#include "midi/MidiMessages.h"
#include "midi/RefCounted.h"

namespace MIDI {

// Total length of a short message (status included) from its status byte; 0 for the
// undefined system messages and for F0/F7, which belong to SysEx.
int shortMessageLength(uint8_t status);

class Input : public RefCounted {
public:
    Input() = default;
    ~Input() override = default;

    virtual bool hasShortMessage() { return shortQueue_.hasAny(); }
    virtual ShortMessage getShortMessage() { return shortQueue_.pop(); }
    virtual bool hasSysex() { return sysexQueue_.hasAny(); }
    virtual SysexMessage getSysex() { return sysexQueue_.pop(); }
    virtual void clearSysex() { sysexQueue_.clear(); }
    virtual uint32_t getPortId() = 0;
    virtual uint32_t getDeviceId() = 0;
    virtual bool isPresent() = 0;

protected:
    void parseInput(const uint8_t* data, int32_t length, uint64_t timestamp);
    // For ports whose devices speak their own dialect and decode it themselves.
    void pushShortMessage(const ShortMessage& message) { shortQueue_.push(message); }

    // The queues' locks, so that a port's own thread (and tests) can hold them.
    Process::ICriticalSection& shortQueueLock() { return shortQueue_.lock(); }
    Process::ICriticalSection& sysexQueueLock() { return sysexQueue_.lock(); }

private:
    ShortMessage takeShortMessage(uint64_t timestamp);

    // Destroyed in reverse: SysEx queue, short-message queue, then the collector.
    SysexMessage collector_;
    LockedQueue<ShortMessage> shortQueue_;
    LockedQueue<SysexMessage> sysexQueue_;
    int32_t remaining_ = 0;
    uint8_t shortBuffer_[3] = {0, 0, 0};
    int writePos_ = 0;
};

class Output : public RefCounted {
public:
    ~Output() override = default;

    virtual void initialise() = 0;
    virtual bool sendSysex(SysexMessage& message) = 0;
    virtual bool sendShort(ShortMessage& message) = 0;
    virtual uint32_t getPortId() = 0;
    virtual uint32_t getDeviceId() = 0;
    virtual bool isPresent() = 0;
    // Pushes out what the port holds back; true when everything handed over so far has
    // completed, so a caller knows its last message arrived.
    virtual bool flush() = 0;
    // The longest SysEx message the port takes; a port without a buffer of its own has no limit.
    virtual size_t sysexCapacity() { return SIZE_MAX; }
};

}  // namespace MIDI
