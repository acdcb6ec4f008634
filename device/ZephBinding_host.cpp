#include "device/ZephBinding.h"

// The library exists only on Windows: the host build always binds the DummyConnection.
VeltroHiddenMIDI::Connection* bindConnection(VeltroHiddenMIDI::RebindCallback, void*) {
    return &DummyConnection::instance();
}

ZephDestroyFn zephDestroy() { return nullptr; }
