#include "ks/KsOsApi.h"

namespace {
const KsOsApi* g_api = nullptr;
unsigned g_generation = 0;
}  // namespace

const KsOsApi& KsOs() { return g_api ? *g_api : *WindowsKsOsApi(); }

const KsOsApi* SetKsOsApi(const KsOsApi* api) {
    const KsOsApi* previous = g_api ? g_api : WindowsKsOsApi();
    g_api = api;
    ++g_generation;
    return previous;
}

unsigned KsOsApiGeneration() { return g_generation; }
