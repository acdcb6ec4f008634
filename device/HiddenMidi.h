#pragma once
// The interfaces of the maker's hidden-MIDI library (the Zeph library), declared with the
// binary layout of that library's own compiler: one slot per virtual destructor, a
// deleting destructor that takes a flags word (bit 0 frees the memory). An object the
// library handed out is ended with destroy(1). Member functions use the platform's
// default convention (thiscall on x86); the exports and callbacks are plain C functions.

#include <cstdint>

class HiddenMidiInput;
class HiddenMidiOutput;
class HiddenMidiDevice;

namespace VeltroHiddenMIDI {

// Called by the library with the context it was given, to make the device bind anew.
typedef void (*RebindCallback)(void* context);

class Connection {
public:
    virtual int count() = 0;
    virtual HiddenMidiDevice* deviceAt(int index) = 0;
    virtual void* destroy(unsigned flags) = 0;  // the deleting destructor

protected:
    ~Connection() {}
};

}  // namespace VeltroHiddenMIDI

// Delivers bytes received from the instrument, on the library's own thread.
typedef void (*HiddenMidiReceiveCallback)(const unsigned char* bytes, int length, void* context);

class HiddenMidiDevice {
public:
    virtual void* destroy(unsigned flags) = 0;
    virtual int reserved2() = 0;  // not used by this program
    virtual int reserved3() = 0;  // not used by this program
    virtual int deviceNumber() = 0;
    virtual int inputCount() = 0;
    virtual int outputCount() = 0;
    virtual HiddenMidiInput* openInputPort(int index) = 0;
    virtual HiddenMidiOutput* openOutputPort(int index) = 0;

protected:
    ~HiddenMidiDevice() {}
};

class HiddenMidiInput {
public:
    virtual void* destroy(unsigned flags) = 0;  // closes the port; no delivery after it returns
    virtual int reserved2() = 0;
    virtual void setReceiveCallback(HiddenMidiReceiveCallback callback, void* context) = 0;

protected:
    ~HiddenMidiInput() {}
};

class HiddenMidiOutput {
public:
    virtual void* destroy(unsigned flags) = 0;  // closes the port
    virtual int reserved2() = 0;
    virtual int writeSysex(const unsigned char* bytes, int length) = 0;

protected:
    ~HiddenMidiOutput() {}
};

// The library's exports.
extern "C" {
typedef int (*ZephGetVersionFn)();
typedef VeltroHiddenMIDI::Connection* (*ZephCreateFn)(VeltroHiddenMIDI::RebindCallback callback, void* context);
typedef void (*ZephDestroyFn)(VeltroHiddenMIDI::Connection* connection);
}

// Ends an object that the library handed out.
template <typename T>
void destroyLibraryObject(T* object) {
    if (object) object->destroy(1);
}
