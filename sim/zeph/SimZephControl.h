#pragma once
// Control exports of the simulated Zeph library, for tests in the same process (look
// them up with GetProcAddress on the loaded library). Configuration that a separate
// process needs (an end-to-end run of the program) comes from environment variables,
// each read when it is needed:
//   at ZEPHGetVersion:
//   CARROWICK_SIMZEPH_VERSION        what it returns (default 1)
//   at every ZEPHCreate:
//   CARROWICK_SIMZEPH_CREATE_NULL    1: ZEPHCreate returns null
//   CARROWICK_SIMZEPH_NO_DEVICE      1: the connection offers no device
//   CARROWICK_SIMZEPH_DEVICES        what the connection offers unless SimZeph_SetDevices
//                                    chose: a comma list of "number:inputs:outputs" or "null"
//                                    (deviceAt gives null there); default "30:1:1"
//   CARROWICK_SIMZEPH_CALLBACK_IN_CREATE 1: ZEPHCreate calls the callback on the caller's
//                                    thread before it returns
//   at every ZEPHDestroy:
//   CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY 1: ZEPHDestroy calls the callback on the caller's
//                                    thread before the connection is gone
//   at every openInputPort:
//   CARROWICK_SIMZEPH_SEED           seed of the port's cutting and real-time bytes (default 14;
//                                    the n-th input since SimZeph_Reset mixes in n)
//   CARROWICK_SIMZEPH_SENSING_MS     active sensing: an FE on its own, due from the moment the
//                                    port opens (sent once a receive callback is set), then
//                                    every this many ms (default 300; -1: none)
//   at every openInputPort, openOutputPort, setReceiveCallback, writeSysex, device destroy:
//   CARROWICK_SIMZEPH_REBOOT_INSIDE  one of "openOutputPort", "setReceiveCallback", "writeSysex",
//                                    "deviceDestroy": the first such call on the instrument
//                                    since SimZeph_Reset reboots it inside the call (the port
//                                    just opened is dead already), and every live connection is
//                                    called back on the caller's thread before the call returns
//   at every write:
//   CARROWICK_SIMZEPH_CAPTURE        file to which every write is appended as a line
//                                    "<GetTickCount at the write> <hex bytes>", every event as
//                                    "@<GetTickCount> <event>" and every violation as "! <text>"
//   CARROWICK_SIMZEPH_WRITE_MS       how long each write takes (default 0)
//   CARROWICK_SIMZEPH_ANSWER_AT_ONCE 1: the status answer reaches the input's receive callback
//                                    on the writing thread, before writeSysex returns
//   at the start message (a 15-byte write whose byte 5 is 0x71), after which the instrument
//   reboots: its ports go dead (writes return 0, no deliveries), it is not offered, and
//   every live connection is called back from a thread of the library:
//   CARROWICK_SIMZEPH_BACK_MS        it is offered again (and the connections called back
//                                    again) this many ms later (default 1000; -1: never)
//   CARROWICK_SIMZEPH_LUMETRA_DELAY_MS  it appears as a WinMM output this many ms later
//                                    (default 1000; 0: before the write returns; -1: never)
//   CARROWICK_SIMZEPH_LUMETRA_NAME   the name it appears under (default "Lumetra")
//   CARROWICK_SIMZEPH_LUMETRA_RATE   the bytes per second that output plays (default 48000,
//                                    USB MIDI at full speed; 0: at once)
//   CARROWICK_SIMZEPH_REBIND_ON_START 1: the write lasts at least 200 ms and the newest
//                                    connection is also called back meanwhile
//
// Each port of an instrument opens once at a time: until the open one is destroyed (dead or
// not), a second open returns null.
//
// Violations (a call through a destroyed object, a second destroy, destroy without the
// free flag, a destroy while a call on the object is in progress, a port or connection
// destroyed on a thread of the library, ZEPHCreate on a thread of the library, an input
// destroyed on its own delivery thread, a connection destroyed inside its own callback) are
// counted, written to the capture file and to the debug output as "SimZeph violation: <text>".

#include <cstdint>

extern "C" {
// The kinds of object the library hands out, as counted by SimZeph_Objects.
enum SimZephKind { SimZephConnections, SimZephDevices, SimZephInputs, SimZephOutputs, SimZephKinds };

// Forgets writes, counts, violations and events; the device list goes back to the
// environment's, a rebooting instrument is offered again at once, and the reboot of
// CARROWICK_SIMZEPH_REBOOT_INSIDE may happen again.
typedef void (*SimZephResetFn)();
// Number of writes recorded, and the bytes of one of them (returns its length; copies at most capacity).
typedef int (*SimZephWriteCountFn)();
typedef int (*SimZephWriteAtFn)(int index, uint8_t* bytes, int capacity);
// Calls the rebinding callback of the newest connection from a thread of the library;
// waits until it has returned when wait is non-zero.
typedef void (*SimZephTriggerRebindFn)(int wait);
// Delivers bytes to every live input port, on the ports' delivery threads.
typedef void (*SimZephDeliverFn)(const uint8_t* bytes, int length);
// Counters: connections created and destroyed, ports open now, deliveries made.
typedef void (*SimZephCountersFn)(int* created, int* destroyed, int* openPorts, int* deliveries);
// Sets the device list of later connections (as CARROWICK_SIMZEPH_DEVICES); null goes back
// to the environment's. Returns 0, changing nothing, when the list is malformed.
typedef int (*SimZephSetDevicesFn)(const char* list);
// Objects of one SimZephKind created and destroyed since the last reset.
typedef void (*SimZephObjectsFn)(int kind, int* created, int* destroyed);
// Violations recorded, and their texts one per line (returns the full length; copies at
// most capacity - 1 characters and a terminator).
typedef int (*SimZephViolationCountFn)();
typedef int (*SimZephViolationsFn)(char* text, int capacity);
// The ordered event log, one per line, e.g. "create connection #3", "open input #2 of
// device 30", "callback connection #3 (reboot)", "destroy output #1", "reboot device 30",
// "reboot device 30 inside writeSysex", "back device 30", "dead write output #1",
// "refused openOutputPort of device 30: open already" (copied as SimZephViolationsFn does).
typedef int (*SimZephEventsFn)(char* text, int capacity);
}
