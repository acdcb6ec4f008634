#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "midi/WinMM.h"

namespace {

// The name is written from a port's destructor: it must come back in a value that owns no
// memory, for every code including the longest names and codes WinMM never gives.
static_assert(std::is_trivially_copyable<decltype(mmresultName(0))>::value, "mmresultName must not allocate");

TEST(MmresultName, NamesAndNumbersEveryCode) {
    const struct {
        MMRESULT code;
        const char* text;
    } cases[] = {
        {MMSYSERR_NOERROR, "MMSYSERR_NOERROR (0)"},
        {MMSYSERR_NOTSUPPORTED, "MMSYSERR_NOTSUPPORTED (8)"},
        {MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING (65)"},
        {MIDIERR_BADOPENMODE, "MIDIERR_BADOPENMODE (70)"},
        {0xFFFFFFFFu, "unknown (4294967295)"},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.text, mmresultName(c.code).c_str());
}

}  // namespace
