#include "device/ZephBinding.h"

DummyConnection& DummyConnection::instance() {
    static DummyConnection dummy;
    return dummy;
}

void releaseConnection(VeltroHiddenMIDI::Connection* connection) {
    ZephDestroyFn destroy = zephDestroy();
    if (connection && connection != &DummyConnection::instance() && destroy) destroy(connection);
}
