#pragma once
// A randomized world for the update: a firmware file, the instrument's link and a schedule
// of faults from every stand-in, all drawn from one seed, and what the program may answer.
// The expectations are written from the program's promises, never from its code.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace chaos {

using Bytes = std::vector<uint8_t>;

// How the instrument's WinMM port shows up.
enum class Arrival { Present, DuringSearch, Never };
// A change of the WinMM list between the scan that found the instrument and the open.
enum class OpenChange { None, InsertBefore, RemoveBefore };
// A completion stall: none, from the first message for a while, or after some messages.
enum class Stall { None, AtStartForAWhile, MidTransferForAWhile, MidTransferForever };

struct ZephFaults {
    bool absent = false;         // no registry value: no library
    int version = 1;             // anything else is another library
    bool noDevice = false;       // the connection offers no device
    bool createNull = false;     // no connection at all
    bool callbackInCreate = false;
    bool callbackInDestroy = false;
    bool rebindOnStart = false;  // a rebind while the start message is written
    int backMs = 0;              // the rebooting instrument is offered again (-1: never)
    int writeMs = 0;             // each write takes this long
    std::vector<int> rebindAtMs; // rebind callbacks at these moments of the run
};

// A fault of one pin property of the first hidden device: refused, its reply larger than the
// size the probe reported, or growing between the probe and the request.
enum class HiddenProperty { Fine, Refused, Oversize, Grows };

// The maker's USB devices on the hidden driver, none of them the instrument, and the
// driver's faults. In process only: under Wine the program meets no such driver.
struct HiddenFaults {
    int devices = 0;
    unsigned answerMs = 0;      // every property request pends this long
    bool writesRefused = false;
    bool cancelsKept = false;   // a cancelled request never comes back
    bool hangOnce = false;      // one pin property of the first device hangs once
    HiddenProperty property = HiddenProperty::Fine;
    bool pinRefused = false;    // the first device refuses to make a pin instance
};

// Outputs named like the instrument besides it (only while it is present from the start):
// one already there, or one that the start message brings (named kSecondArrival).
extern const char kSecondBefore[];
extern const char kSecondArrival[];

struct World {
    uint64_t seed = 0;
    Bytes file;
    uint32_t wireSpeed = 0;  // bytes per second of the instrument's link; 0: at once
    bool completeInCall = false;

    int otherDevices = 1;  // outputs that are not the instrument
    int instrumentAt = 0;  // its place among them
    Arrival arrival = Arrival::Present;
    uint32_t arrivalCall = 1;  // the midiOutGetNumDevs call that brings it (DuringSearch)
    OpenChange openChange = OpenChange::None;
    uint32_t openFailures = 0;
    uint32_t unplugAtByte = 0;  // 0: stays plugged in
    uint32_t unplugDuring = 0;  // 0, or the instrument goes while this data message (from 1) plays
    uint32_t unplugPlayed = 0;  // after this many of its bytes
    bool capsFail = false;      // asking for the instrument's name fails, for good
    bool leaveDuringSearch = false;  // another device leaves at this midiOutGetNumDevs call
    uint32_t leaveCall = 0;
    bool renameDuringTransfer = false;  // a device is renamed after renameAfter messages
    bool renameInstrument = false;      // that device is the instrument
    uint32_t renameAfter = 0;
    bool secondBefore = false;
    bool secondArrives = false;
    Stall stall = Stall::None;
    uint32_t stallAfter = 0;  // messages handed over before a mid-transfer stall
    int stallMs = 0;
    uint32_t completionDelayMs = 0;
    int refusalKind = -1;  // SimWinmmFailure of the refused call, -1: none (reset: never for good)
    uint32_t refusals = 0;
    bool shiftDuringTransfer = false;  // another device leaves while the transfer runs
    uint32_t shiftAfter = 0;
    ZephFaults zeph;
    HiddenFaults hidden;
    uint32_t failAllocation = 0;  // the update's nth allocation on its thread fails (in process only)
    // In process only: the progress sink throws something that is no std::exception when told
    // of this data message (from 1), once the port is open.
    uint32_t progressThrowsAt = 0;

    // From the file: whether the program takes a start message (its own rule) and whether
    // that message can be sent (15 bytes, F0 to F7); by the SysEx rule, the data messages
    // the instrument must receive in order, and the file's holes.
    bool hasStart = false;
    bool startSendable = false;
    std::vector<Bytes> messages;
    size_t fitting = 0;  // messages before the first one longer than the port's buffer
    bool unterminated = false;
    std::set<int> allowed;  // exit codes the world may end with

    uint64_t bytesHandedOver() const;  // of the messages that can be sent
    bool libraryUsable() const;
    // The start message reaches the library, which brings the second output named like it.
    bool secondArrivesNew() const { return secondArrives && startSendable && libraryUsable(); }
    std::string describe() const;
    std::vector<std::string> faultNames() const;
};

constexpr size_t kPortBuffer = 4352;

// What every wait for a message in flight allows it, by the README: its time on a MIDI
// cable (3125 bytes/s) plus 1 s.
inline uint64_t inFlightWaitMs(uint64_t length) { return 1000 + length * 1000 / 3125; }

// The timing the loops run the protocol with; bounds are computed from it.
struct Pace {
    uint32_t startPauseMs = 10;
    uint32_t searchPauseMs = 5;
    int searchTries = 8;
    uint32_t refusedRetryMs = 1000;  // room for a few refusals on a crowded machine
};

World makeWorld(uint64_t seed, const Pace& pace);
// Sets the exit codes the world may end with, from its file and faults.
void expect(World& world, const Pace& pace);
// What the file must become at the instrument (data messages only, start message apart).
void readFile(World& world);
// How long the world may take at most, in ms: no hang is longer than this.
uint32_t boundMs(const World& world, const Pace& pace);

}  // namespace chaos
