#pragma once
// Binding to the Zeph library: found through the registry, loaded from an absolute
// path only, and replaced by the process-wide DummyConnection on any failure.

#include "device/HiddenMidi.h"

// A connection that offers no devices; one process-wide instance, never destroyed.
class DummyConnection final : public VeltroHiddenMIDI::Connection {
public:
    int count() override { return 0; }
    HiddenMidiDevice* deviceAt(int) override { return nullptr; }
    void* destroy(unsigned) override { return this; }

    static DummyConnection& instance();
};

// Never null: falls back to the DummyConnection.
VeltroHiddenMIDI::Connection* bindConnection(VeltroHiddenMIDI::RebindCallback callback, void* context);

// Set from the library every time it is loaded; null until then.
ZephDestroyFn zephDestroy();

// Ends a connection: through ZEPHDestroy, unless it is the DummyConnection or the
// library gave no ZEPHDestroy.
void releaseConnection(VeltroHiddenMIDI::Connection* connection);
