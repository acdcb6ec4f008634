#include "support/DebugOutput_host.h"
#include "tests/common/DebugCapture.h"

namespace {

void recordInto(const char* text, void* context) { static_cast<DebugCapture*>(context)->record(text); }

}  // namespace

DebugCapture::DebugCapture() : handler_(nullptr) { setDebugOutputSink(&recordInto, this); }

DebugCapture::~DebugCapture() { setDebugOutputSink(nullptr, nullptr); }
