#pragma once
// The update protocol: the start message through the device's own output, a pause, the
// search for the output named like the instrument, then every data message through it.

#include <cstdint>

class FirmwareImage;
class UpdaterDev;
class VeltroDeviceList;
namespace MIDI {
class Output;
}

// Where the protocol reports how far it has come (the progress dialog).
class ProgressSink {
public:
    // The two further arguments are always 0. The status returned is not acted on.
    virtual long setProgress(uint32_t position, uint32_t total, uint32_t reserved1, uint32_t reserved2) = 0;

protected:
    ~ProgressSink() {}
};

// Outcome of an update, as the program reports it (also its exit code).
enum UpdateResult : int32_t {
    kUpdateCompleted = 0,    // the port was found and every data message arrived
    kUpdateNoPort = 1,       // no output named like the instrument appeared
    kUpdateIncomplete = 2,   // the transfer stopped before the end of the file
};

struct ProtocolTiming {
    uint32_t startPauseMs = 5000;   // the instrument restarts into its update mode
    uint32_t searchPauseMs = 1000;  // before each look for its port
    int searchTries = 20;
    uint32_t refusedRetryMs = 5000;  // how long one refused message is offered again
};

extern const char kInstrumentName[];

// True when some output of the combined list has a short name containing the instrument's name.
bool outputNamedLikeInstrumentExists();

// Opens the output at a combined index: a WinMM port below the WinMM count, else the device
// manager's port. Null when it cannot be opened (nothing escapes as an exception).
MIDI::Output* openOutputAt(int32_t index, VeltroDeviceList* manager);

// Runs the update; returns the port it opened (the caller releases it) and stores the result.
MIDI::Output* rvoVirize(FirmwareImage& image, UpdaterDev& device, ProgressSink& progress, VeltroDeviceList* manager,
                        int32_t* result, const ProtocolTiming& timing = ProtocolTiming());
