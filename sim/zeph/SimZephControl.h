#pragma once
// Control exports of the simulated Zeph library, for tests in the same process (look
// them up with GetProcAddress on the loaded library). Configuration that a separate
// process needs (an end-to-end run of the program) comes from environment variables,
// read at every ZEPHCreate:
//   CARROWICK_SIMZEPH_VERSION        what ZEPHGetVersion returns (default 1)
//   CARROWICK_SIMZEPH_CREATE_NULL    1: ZEPHCreate returns null
//   CARROWICK_SIMZEPH_NO_DEVICE      1: the connection offers no device
//   CARROWICK_SIMZEPH_CAPTURE        file to which every write is appended as a line
//                                    "<GetTickCount at the write> <hex bytes>"
//   CARROWICK_SIMZEPH_LUMETRA_DELAY_MS  after the start message, the instrument appears as a
//                                    WinMM output this many ms later (default 1000; -1: never)
//   CARROWICK_SIMZEPH_LUMETRA_NAME   the name it appears under (default "Lumetra")
//   CARROWICK_SIMZEPH_REBIND_ON_START 1: while the start message is being written, the
//                                    library calls the rebinding callback from its own thread
//   CARROWICK_SIMZEPH_WRITE_MS       how long each write takes (default 0)
//   CARROWICK_SIMZEPH_ANSWER_AT_ONCE 1: the status answer reaches the input's receive callback
//                                    on the writing thread, before writeSysex returns

#include <cstdint>

extern "C" {
// Forgets every recorded write and resets the counters.
typedef void (*SimZephResetFn)();
// Number of writes recorded, and the bytes of one of them (returns its length; copies at most capacity).
typedef int (*SimZephWriteCountFn)();
typedef int (*SimZephWriteAtFn)(int index, uint8_t* bytes, int capacity);
// Calls the rebinding callback of the newest connection from a thread of the library;
// waits until it has returned when wait is non-zero.
typedef void (*SimZephTriggerRebindFn)(int wait);
// Delivers bytes to every open input port, on the ports' delivery threads.
typedef void (*SimZephDeliverFn)(const uint8_t* bytes, int length);
// Counters: connections created and destroyed, ports open now, deliveries made.
typedef void (*SimZephCountersFn)(int* created, int* destroyed, int* openPorts, int* deliveries);
}
