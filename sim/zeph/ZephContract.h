#pragma once
// The binary contract of the maker's hidden-MIDI library, as the stand-in implements it.
// Written from the contract, not taken from the program's headers, so a mistake there
// shows up against this. The maker's toolset gives each virtual destructor ONE slot: a
// deleting destructor taking a flags word (bit 0 frees), declared here as an ordinary
// virtual function because g++ would give a declared virtual destructor two slots.
// Member functions use thiscall on x86 (spelt out, not left to the compiler's default);
// exports and callbacks are plain C functions.

#if defined(__i386__)
#define ZEPH_MEMBER __thiscall
#else
#define ZEPH_MEMBER
#endif

namespace zeph {

typedef void(__cdecl* RebindCallback)(void* context);
typedef void(__cdecl* ReceiveCallback)(const unsigned char* bytes, int length, void* context);

class Device;
class Input;
class Output;

class Connection {
public:
    virtual int ZEPH_MEMBER count() = 0;
    virtual Device* ZEPH_MEMBER deviceAt(int index) = 0;
    virtual void* ZEPH_MEMBER destroy(unsigned flags) = 0;

protected:
    ~Connection() {}
};

class Device {
public:
    virtual void* ZEPH_MEMBER destroy(unsigned flags) = 0;
    virtual int ZEPH_MEMBER unused2() = 0;
    virtual int ZEPH_MEMBER unused3() = 0;
    virtual int ZEPH_MEMBER deviceNumber() = 0;
    virtual int ZEPH_MEMBER inputCount() = 0;
    virtual int ZEPH_MEMBER outputCount() = 0;
    virtual Input* ZEPH_MEMBER openInputPort(int index) = 0;  // owned by the caller
    virtual Output* ZEPH_MEMBER openOutputPort(int index) = 0;

protected:
    ~Device() {}
};

class Input {
public:
    virtual void* ZEPH_MEMBER destroy(unsigned flags) = 0;  // closes; no delivery after it returns
    virtual int ZEPH_MEMBER unused2() = 0;
    virtual void ZEPH_MEMBER setReceiveCallback(ReceiveCallback callback, void* context) = 0;

protected:
    ~Input() {}
};

class Output {
public:
    virtual void* ZEPH_MEMBER destroy(unsigned flags) = 0;
    virtual int ZEPH_MEMBER unused2() = 0;
    virtual int ZEPH_MEMBER writeSysex(const unsigned char* bytes, int length) = 0;

protected:
    ~Output() {}
};

extern "C" {
typedef int(__cdecl* GetVersionFn)();
typedef Connection*(__cdecl* CreateFn)(RebindCallback callback, void* context);
typedef void(__cdecl* DestroyFn)(Connection* connection);
}

}  // namespace zeph
