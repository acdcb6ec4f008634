#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ks/KsBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutU32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

// A reply with a header of the given count and ranges of the given FormatSizes, each
// placed at an 8-byte aligned offset.
Bytes Reply(uint32_t count, const std::vector<uint32_t>& sizes) {
    Bytes b(8);
    PutU32(b, 4, count);
    for (uint32_t s : sizes) {
        size_t at = b.size();
        b.resize(at + ((s + 7) & ~7u));
        PutU32(b, at, s);
    }
    PutU32(b, 0, static_cast<uint32_t>(b.size()));
    return b;
}

TEST(DataRangeWalk, RangesFollowAtAlignedOffsets) {
    Bytes b = Reply(3, {92, 80, 96});
    ksbytes::DataRangeWalk walk(b.data(), b.size(), 80);
    EXPECT_EQ(walk.Next(), b.data() + 8);
    EXPECT_EQ(walk.Next(), b.data() + 8 + 96);
    EXPECT_EQ(walk.Next(), b.data() + 8 + 96 + 80);
    EXPECT_EQ(walk.Next(), nullptr);
    EXPECT_TRUE(walk.Complete());
}

TEST(DataRangeWalk, LastRangeMayEndUnpadded) {
    Bytes b = Reply(1, {92});
    b.resize(8 + 92);
    ksbytes::DataRangeWalk walk(b.data(), b.size(), 80);
    EXPECT_NE(walk.Next(), nullptr);
    EXPECT_EQ(walk.Next(), nullptr);
    EXPECT_TRUE(walk.Complete());
}

TEST(DataRangeWalk, MalformedRepliesEndTheWalkInsideTheBuffer) {
    struct Case {
        const char* what;
        Bytes reply;
        size_t readable;
    };
    Bytes countTooLarge = Reply(5, {96});
    Bytes zeroSize = Reply(2, {96, 96});
    PutU32(zeroSize, 8, 0);
    Bytes belowMinimum = Reply(1, {64});
    Bytes pastEnd = Reply(1, {96});
    pastEnd.resize(8 + 90);
    Bytes hugeSize = Reply(1, {96});
    PutU32(hugeSize, 8, 0xFFFFFFF8u);
    Bytes headerOnly = Reply(1, {});
    Bytes secondPastEnd = Reply(2, {96, 96});
    PutU32(secondPastEnd, 8 + 96, 4096);
    Case cases[] = {
        {"count larger than the reply", countTooLarge, 1},
        {"FormatSize 0", zeroSize, 0},
        {"FormatSize below 80", belowMinimum, 0},
        {"range past the reply", pastEnd, 0},
        {"huge FormatSize", hugeSize, 0},
        {"second range past the reply", secondPastEnd, 1},
        {"header only", headerOnly, 0},
        {"short header", Bytes(7, 0), 0},
        {"empty", Bytes(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ksbytes::DataRangeWalk walk(c.reply.data(), c.reply.size(), 80);
        size_t n = 0;
        while (const uint8_t* range = walk.Next()) {
            ASSERT_GE(range, c.reply.data());
            ASSERT_LE(range + 80, c.reply.data() + c.reply.size());
            ++n;
        }
        EXPECT_EQ(n, c.readable);
        EXPECT_FALSE(walk.Complete());
    }
}

TEST(MultipleItemCount, CountMustFitTheReply) {
    Bytes b(8 + 32);
    PutU32(b, 4, 2);
    uint32_t count = 99;
    EXPECT_TRUE(ksbytes::MultipleItemCount(b.data(), b.size(), 16, &count));
    EXPECT_EQ(count, 2u);
    PutU32(b, 4, 3);
    EXPECT_FALSE(ksbytes::MultipleItemCount(b.data(), b.size(), 16, &count));
    // 0x10000001 * 16 wraps to 16 in 32 bits.
    PutU32(b, 4, 0x10000001u);
    EXPECT_FALSE(ksbytes::MultipleItemCount(b.data(), b.size(), 16, &count));
    EXPECT_FALSE(ksbytes::MultipleItemCount(b.data(), 7, 16, &count));
    EXPECT_FALSE(ksbytes::MultipleItemCount(nullptr, 0, 16, &count));
}

TEST(IsMidiPortRange, ComparesMajorSubAndTechnology) {
    Bytes r(80);
    std::memcpy(r.data() + 16, &ksbytes::kDataFormatTypeMusic, 16);
    std::memcpy(r.data() + 32, &ksbytes::kDataFormatSubtypeMidi, 16);
    std::memcpy(r.data() + 64, &ksbytes::kMusicTechnologyPort, 16);
    EXPECT_TRUE(ksbytes::IsMidiPortRange(r.data()));
    for (size_t at : {16u, 32u, 64u}) {
        Bytes changed = r;
        changed[at + 3] ^= 1;
        EXPECT_FALSE(ksbytes::IsMidiPortRange(changed.data())) << at;
    }
    // The Specifier plays no part.
    Bytes specifier = r;
    specifier[48] = 0x55;
    EXPECT_TRUE(ksbytes::IsMidiPortRange(specifier.data()));
}

// The readers get exactly the block the driver was given (heap-allocated, so the
// sanitizers see any read past it) and never a count beyond it.
TEST(ReplyBounds, OverlongCountsEndAsFailedReads) {
    const struct {
        const char* name;
        uint32_t block;
        uint64_t reported;  // the driver's count
        bool success;       // completed successfully, or a probe's answer
    } cases[] = {
        {"grown after an empty probe", 0, 8 + 2 * 16, false},
        {"grown after a header-sized probe", 8, 8 + 2 * 16, false},
        {"longer than the buffer", 8, 8 + 2 * 16, true},
        {"far longer than the buffer", 8, 0xFFFFFFFFull + 1000, true},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> heap(c.block);
        uint8_t* block = c.block ? heap.data() : nullptr;
        if (c.block >= 8) {
            // The header the driver managed to write: two GUIDs announced.
            const uint32_t header[2] = {8 + 2 * 16, 2};
            std::memcpy(block, header, sizeof header);
        }
        uint32_t usable = 0;
        if (c.success) {
            usable = ksbytes::ClampToBuffer(c.reported, c.block);
            EXPECT_EQ(usable, c.block) << c.name;
        } else {
            EXPECT_FALSE(ksbytes::ReplyFitsBlock(static_cast<uint32_t>(c.reported), c.block)) << c.name;
        }
        uint32_t count = 0;
        EXPECT_FALSE(ksbytes::MultipleItemCount(block, usable, 16, &count)) << c.name;
        ksbytes::DataRangeWalk walk(block, usable, ksbytes::kDataRangeSize);
        EXPECT_EQ(walk.Next(), nullptr) << c.name;
        EXPECT_FALSE(walk.Complete()) << c.name;
    }
    EXPECT_TRUE(ksbytes::ReplyFitsBlock(40, 40));
    EXPECT_EQ(ksbytes::ClampToBuffer(12, 40), 12u);
}

}  // namespace
