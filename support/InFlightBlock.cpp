#include "support/InFlightBlock.h"

#include <atomic>

#include "support/Diagnostics.h"

namespace {
std::atomic<unsigned> g_abandoned{0};
}  // namespace

unsigned AbandonedInFlightBlocks() { return g_abandoned.load(); }

void ReportAbandonedInFlightBlock(const char* owner) {
    const unsigned count = ++g_abandoned;
    diagnosticPrint("%s: the driver kept a cancelled request; its memory is left to it (%u left in this process)\n",
                    owner, count);
}
