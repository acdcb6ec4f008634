#include <gtest/gtest.h>

#include <string>

#include "midi/NamesFile.h"

namespace {

TEST(NamesTextTest, ParsesKeyValueLinesFirstKeyWins) {
    NameTable entries;
    parseNamesText("b=x\na=y\nb=z\n c = d \nno equals\nk=v\nlast=end", entries);
    EXPECT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries["b"], "x");
    EXPECT_EQ(entries["a"], "y");
    EXPECT_EQ(entries[" c "], " d ");
    // A line without "=" runs on into the next one as part of the key.
    EXPECT_EQ(entries["no equals\nk"], "v");
    EXPECT_EQ(entries["last"], "end");

    NameTable odd;
    parseNamesText("=\nkey=\nx", odd);
    EXPECT_EQ(odd.size(), 3u);
    EXPECT_EQ(odd[""], "");
    EXPECT_EQ(odd["key"], "");
    EXPECT_EQ(odd["x"], "");
}

}  // namespace
