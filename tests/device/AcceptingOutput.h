#pragma once
// An output that takes every message and is always there; a test overrides what it watches.

#include <cstdint>

#include "midi/MidiPorts.h"

class AcceptingOutput : public MIDI::Output {
public:
    void initialise() override {}
    bool sendSysex(MIDI::SysexMessage&) override { return true; }
    bool sendShort(MIDI::ShortMessage&) override { return true; }
    uint32_t getPortId() override { return 0; }
    uint32_t getDeviceId() override { return 0; }
    bool isPresent() override { return true; }
    bool flush() override { return true; }
};
