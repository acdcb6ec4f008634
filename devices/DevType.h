#pragma once
// One row of the device type table: a model of the maker's, how its filters are
// recognised, and how its ports are made. No Windows headers: filters are only named.

#include <cstdint>
#include <string>

#include "midi/MidiPorts.h"

class CKsMidiFilter;

class IDevType {
public:
    virtual ~IDevType() {}
    // New ports with one reference that belongs to the caller.
    virtual MIDI::Input* createInput(CKsMidiFilter* filter) = 0;
    virtual MIDI::Output* createOutput(CKsMidiFilter* filter) = 0;
    virtual bool matches(CKsMidiFilter* filter) = 0;
    virtual std::string getPortName(const std::string& namesPrefix, CKsMidiFilter* filter) = 0;
    virtual std::string getName() = 0;
    virtual uint32_t getDeviceId(CKsMidiFilter* filter) = 0;
};
