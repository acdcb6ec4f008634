#pragma once
// A device that talks to one of the maker's instruments over the hidden-MIDI connection.
//
// Threads: the check flow (main thread) and the update worker use the output; the Zeph
// library delivers input bytes on its own thread (receiveMidi) and may ask for a rebind
// from any of its threads, at any moment, also on our own thread from inside any call we
// make into it. The ports are guarded by portLock_, held while a port is used or replaced.
// Ports and connections are destroyed only on the program's own threads: the library's
// callback merely marks a rebind as pending and wakes the device's binder thread, which
// carries it out at once; a program thread that takes the ports first carries it out
// itself (so the device reads as not connected until it is done). Only a callback made
// inside ZEPHCreate or ZEPHDestroy on the thread that called them is ignored: the rebind
// in progress reads the device list after them. A library thread may be the one that an
// input's destructor or ZEPHDestroy joins; it never waits here. receiveMidi never takes
// the lock: an input's destructor may wait for the delivery in flight, and that
// destructor runs with the lock held.

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "device/BinderThread.h"
#include "device/HiddenMidi.h"
#include "support/CriticalSection.h"

class BaseDevice {
public:
    static const int kInitialSysexCapacity = 1024;
    static const int kMaxSysexCapacity = 262144;
    static const int kRingSize = 4096;
    // Rebinds carried out in a row; a library that asks again during each of them gets
    // its next ones after kRebindPauseMs on the binder thread, or at the next use.
    static const int kMaxRebindPasses = 3;
    static const int kRebindPauseMs = 100;

    BaseDevice(const char* name, int deviceNumber);
    virtual ~BaseDevice();
    BaseDevice(const BaseDevice&) = delete;
    BaseDevice& operator=(const BaseDevice&) = delete;

    bool isConnected();
    // Binds the device anew: drops the connection and ports it held, looks for its
    // device number among the devices of a new connection and opens its ports there.
    void connectDevice();
    // The callback given to the library: the device is the context. Never blocks.
    static void connectDeviceCallback(void* context);

    void requestDeviceStatus();
    // Sends a SysEx packet through the device's own output under the WriteSysex rule
    // (first byte F0, last byte F7). False when nothing was sent.
    bool writeSysex(const uint8_t* packet, int length);
    bool hasOutput();

    // Bytes from the instrument; the input port's receive callback.
    void receiveMidi(const uint8_t* bytes, int length);
    static void receiveCallback(const unsigned char* bytes, int length, void* context);

    const char* name() const { return name_; }
    int deviceNumber() const { return deviceNumber_; }
    const char* dumpText() const { return dumpText_; }
    bool statusBit11() const { return statusBit11_; }
    bool statusBit12() const { return statusBit12_; }
    int statusExtra() const { return statusExtra_; }
    int statusCode() const { return statusCode_; }
    int sysexCapacity() const { return capacity_; }

protected:
    virtual void onConnectionChanged() = 0;
    virtual void onDump(uint8_t* message, int length) = 0;
    virtual void onValueMessage(int32_t value, int a, int b, bool isType10) = 0;
    virtual void onStatus(int code, int extra, bool bit11) = 0;
    virtual void onSysexError(const char* text) = 0;
    virtual void onBank(int value);
    virtual void onProgram(int value);
    // Runs with the ports held, just before a new connection's status request goes out,
    // so that anything reset here cannot wipe an answer that arrives at once.
    virtual void onStatusRequestDue() {}

    void parseShortMessages();
    bool growSysexBuffer();
    // Ends the input's deliveries, then the output and the connection. A derived device
    // calls it from its own destructor: once that has run, the hooks a delivery in flight
    // would call are gone.
    void unbind();
    // For onConnectionChanged, which runs while a rebind holds the ports.
    bool isConnectedWithPortsHeld() const { return input_ && output_; }

private:
    class PortHold;
    bool acquirePorts(bool wait);
    void releasePorts();
    void runPendingRebindsWithPortsHeld();
    bool runPendingRebindsOnBinder();
    void startBinder();
    void rebindWithPortsHeld();
    void endInputStream();
    void dropConnection();
    bool writeSysexWithPortsHeld(const uint8_t* packet, int length);
    void requestStatusWithPortsHeld();
    void dispatch(int length);
    int ringUsed() const;
    void controlChange(int controller, int value);

    int deviceNumber_;
    bool skipToEnd_ = false;
    char name_[17];
    std::unique_ptr<uint8_t[]> sysex_;
    int capacity_ = kInitialSysexCapacity;
    int fill_ = 0;
    uint8_t ring_[kRingSize];
    int ringWrite_ = 0;
    int ringRead_ = 0;
    char dumpText_[17];
    HiddenMidiOutput* output_ = nullptr;
    HiddenMidiInput* input_ = nullptr;
    VeltroHiddenMIDI::Connection* connection_ = nullptr;
    bool statusBit11_ = true;
    bool statusBit12_ = true;
    int statusExtra_ = 0;
    int statusCode_ = 0;
    bool bankArmed_ = false;
    bool programArmed_ = false;

    Win32CriticalSection portLock_;
    bool portsBusy_ = false;  // under portLock_: a use of the ports is in progress on its owner thread
    std::atomic<bool> rebindPending_{false};
    // The thread inside ZEPHCreate or ZEPHDestroy for this device: a callback it causes
    // there asks for nothing that the rebind in progress does not already do.
    std::atomic<uint64_t> threadInCreateOrDestroy_{0};  // currentThreadToken(), 0 for none
    // Started with the first connection from the library; read by the library's callback.
    std::unique_ptr<BinderThread> binder_;
    std::atomic<BinderThread*> binderToWake_{nullptr};
};
