// Host sanitizer build only: the diagnostics run inside C callbacks and on the
// out-of-memory path, so not one allocation may happen in them, however long the text.

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "support/DebugOutput_host.h"
#include "support/Diagnostics.h"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};

void onMalloc(const volatile void*, size_t) {
    if (g_counting.load()) ++g_allocations;
}
void onFree(const volatile void*) {}

// A sink and a tap that keep the last line in fixed storage: they allocate nothing.
struct LastLine {
    char text[9000];
    size_t calls;
};
LastLine g_written;
LastLine g_tapped;

void keep(LastLine& into, const char* text) {
    std::strncpy(into.text, text, sizeof into.text - 1);
    into.text[sizeof into.text - 1] = '\0';
    ++into.calls;
}

class DiagnosticsAllocation : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&g_written, 0, sizeof g_written);
        std::memset(&g_tapped, 0, sizeof g_tapped);
        setDebugOutputSink([](const char* text, void*) { keep(g_written, text); }, nullptr);
        setDiagnosticTap([](const char* line) { keep(g_tapped, line); });
        // The runtime takes only a few hooks: one for the whole run.
        static const int installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
        ASSERT_NE(0, installed);
    }
    void TearDown() override {
        g_counting = false;
        setDiagnosticTap(nullptr);
        setDebugOutputSink(nullptr, nullptr);
    }
    // Runs one writer with allocations counted; returns how many there were.
    template <typename Write>
    int allocationsOf(Write write) {
        g_allocations = 0;
        g_counting = true;
        write();
        g_counting = false;
        return g_allocations.load();
    }
};

TEST_F(DiagnosticsAllocation, NoWriterAllocatesHoweverLongTheText) {
    const std::string big(100000, 'q');
    const char* text = big.c_str();
    struct Case {
        const char* name;
        void (*write)(const char*);
        size_t length;
    };
    const Case cases[] = {
        {"diagnosticPrint", [](const char* t) { diagnosticPrint("Unable to allocate memory for %s", t); }, 8191},
        {"debugPrint", [](const char* t) { debugPrint("UN_FW_Check: invalid file: %s\n", t); }, 8191},
        {"KsTrace", [](const char* t) { KsTrace(1, "%s Leave, returning %#08x", t, 0x8007000Eu); }, 259},
        {"diagnosticPrint short", [](const char*) { diagnosticPrint("bank -> %d\n", 5); }, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_written.calls = 0;
        EXPECT_EQ(0, allocationsOf([&] { c.write(text); }));
        EXPECT_GE(g_written.calls, 1u);
        EXPECT_EQ(c.length, std::strlen(g_tapped.text));
    }
}

}  // namespace
