#pragma once
// What both loops share: a world staged on the simulated WinMM, the threads that bring its
// faults at their moments, and the oracle that judges what the stand-ins captured.

#include <windows.h>

#include <atomic>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "sim/winmm/SimWinmmControl.h"
#include "tests/chaos/World.h"

namespace chaos {

struct Sent {
    SimWinmmSent record;
    Bytes bytes;
};

// The long messages the simulated WinMM captured, in order (resets left out).
std::vector<Sent> longMessages(SimWinmmControl& sim);

struct Staged {
    uint32_t instrument;  // the id it has, or will have once it arrives
    uint32_t firstOther;  // a device that is not the instrument
    uint32_t openHandles; // WinMM handles open before the world began
};

// The environment of the simulated Zeph library for a world: what it does and under which
// name the start message brings the instrument back (or, with the delay -1, that the
// world itself says when its port appears).
std::vector<std::pair<std::string, std::string>> zephSettings(const World& w);

// Sets up the devices, the instrument's link and the faults that the stand-in holds itself.
Staged stageWinmm(const World& w, SimWinmmControl& sim);

// The stalls and the device that leaves, each on a thread of its own, until stop().
class FaultThreads {
public:
    FaultThreads(const World& w, const Staged& staged, SimWinmmControl& sim);
    ~FaultThreads() { stop(); }
    // Waits until cond holds or the faults are stopped; true when it held.
    template <typename Cond>
    bool until(Cond cond) const {
        while (!over_.load()) {
            if (cond()) return true;
            Sleep(1);
        }
        return false;
    }
    void add(std::thread thread) { threads_.push_back(std::move(thread)); }
    void stop();
    ULONGLONG started() const { return started_; }

private:
    std::atomic<bool> over_{false};
    ULONGLONG started_;
    std::vector<std::thread> threads_;
};

// What a world did, as the stand-ins and the program's end tell it.
struct Observed {
    int32_t result = -1;
    uint64_t resultQpc = 0;         // when the result was known
    bool updateThrew = false;       // the world's failing allocation failed, or its progress sink threw
    int portReturned = -1;          // 1 or 0 where the loop sees the port, -1 where it does not
    std::vector<Sent> atResult;     // the captured long messages when the result was known
    size_t sentAfterStop = 0;       // long messages captured after that
    uint32_t instrument = 0;
    std::vector<Bytes> zephWrites;  // what reached the library's output
    std::string zephViolations;
    bool resultBoxRight = true;     // e2e: the one result box (none for -1) says the result
    size_t hiddenWrites = 0;        // writes the hidden driver's pins received
    int hiddenHandles = 0;          // handles on the hidden driver left open at the end
    int winmmHandles = 0;           // WinMM handles left open at the end, more than at the start
    ULONGLONG ms = 0;
};

// The invariants of every world, from the program's promises; empty when all hold.
std::vector<std::string> judge(const World& w, const Observed& o, uint32_t boundMs);

}  // namespace chaos
