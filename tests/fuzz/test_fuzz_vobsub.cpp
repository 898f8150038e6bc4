// Damaged VobSub picture files (".sub": program-stream packs carrying the
// subpicture units) decoded by FFmpeg's DVD subtitle decoder and drawn into
// a tiny clip by VobSub, under AddressSanitizer and
// UndefinedBehaviorSanitizer. One input in eight damages the index too.
// 10,000 inputs in five rounds of 2,000 (each round its own seed, its own
// test entry).
#include <gtest/gtest.h>

#include "samples/VobSubMaker.h"
#include "tests/fuzz/Burn.h"
#include "tests/fuzz/Mutator.h"

using namespace kalvex;

namespace {

constexpr int kRounds = 5;
constexpr int kPerRound = 2000;

struct Pair {
    std::string idx, sub;
};

// An index and picture file whose pictures all show during the clip's
// two frames (0 and 40 ms).
Pair MakePair(const std::vector<samples::VobPicture>& pictures) {
    Pair p;
    p.idx = std::string(samples::kIdxHeader) + "id: en, index: 0\n";
    std::vector<uint8_t> sub;
    for (const samples::VobPicture& pic : pictures) {
        const std::vector<uint8_t> spu = samples::EncodeSpu(pic);
        if (spu.empty()) return {};
        p.idx += samples::TimestampLine(pic.startMs, samples::AppendSpuPacks(sub, 0, spu));
    }
    p.sub.assign(sub.begin(), sub.end());
    return p;
}

class VobSubFuzz : public testing::TestWithParam<int> {};

}  // namespace

TEST_P(VobSubFuzz, DamagedPicturesAreDrawnOrLeftOutNeverReadAmiss) {
    const std::string clip = fuzz::TinyClip();
    ASSERT_FALSE(clip.empty());
    const std::vector<Pair> pairs = {
        MakePair({{0, 1000, 100, 300, 400, 100}}),
        MakePair({{0, 30, 0, 0, 720, 480, 0xFF00FF00}, {30, 1000, 600, 400, 120, 80}}),
        MakePair({{0, 500, 10, 10, 2, 2}, {20, 500, 300, 200, 64, 64, 0x80FF0000}})};
    std::vector<std::string> idxSeeds, subSeeds;
    for (const Pair& p : pairs) {
        ASSERT_FALSE(p.sub.empty()) << "the DVD subtitle encoder made no picture";
        idxSeeds.push_back(p.idx);
        subSeeds.push_back(p.sub);
    }
    const int round = GetParam();
    fuzz::Mutator subs(0x50b5b00ull + uint64_t(round), subSeeds,
                       {std::string("\x00\x00\x01\xBA", 4), std::string("\x00\x00\x01\xBD", 4), std::string("\x00\x00\x01\xBE", 4),
                        std::string(8, '\xFF'), std::string(8, '\0'), "\x20", "\x21", "\x81\x80", "\x06\x00", "\x05", "\xFF"});
    std::vector<std::string> idxTokens = fuzz::TextTokens();
    for (const char* s : {"timestamp: ", "filepos: ", "id: ", "index: ", "org: ", "size: ", "palette: ", "alpha: ",
                          "delay: ", "forced subs: ON", "scale: ", "fffffffff", "-00:00:00:001"})
        idxTokens.emplace_back(s);
    fuzz::Mutator indexes(0x1d5eb00ull + uint64_t(round), idxSeeds, idxTokens);

    const std::string base = test::TestRoot() + "/pictures";
    int opened = 0, lit = 0;
    for (int i = 0; i < kPerRound; ++i) {
        const size_t which = subs.rng().Below(pairs.size());
        const bool damagedIndex = subs.rng().OneIn(8);
        const std::string idx = damagedIndex ? indexes.Next(4, 8192) : pairs[which].idx;
        test::WriteFile(base + ".idx", idx);
        test::WriteFile(base + ".sub", subs.Next(6, 64 * 1024));
        const fuzz::Burned b = fuzz::Burn(clip, "VobSub(\"" + base + ".sub\", 0)");
        if (!b.opened) {
            EXPECT_NE(b.error.find("VobSub"), std::string::npos) << "round " << round << " input " << i << ": " << b.error;
            EXPECT_TRUE(damagedIndex) << "round " << round << " input " << i << ": " << b.error;
            continue;
        }
        ++opened;
        ASSERT_FALSE(b.readFailed) << "round " << round << " input " << i;
        ASSERT_EQ(b.frames[0].size(), fuzz::kFrameBytes);
        EXPECT_EQ(b.frames[0], b.frames[2]) << "round " << round << " input " << i;
        lit += fuzz::LitPixels(b.frames[0]) > 0 || fuzz::LitPixels(b.frames[1]) > 0;
    }
    EXPECT_GT(opened, kPerRound * 3 / 4);
    EXPECT_GT(lit, kPerRound / 10);
}

INSTANTIATE_TEST_SUITE_P(Rounds, VobSubFuzz, testing::Range(0, kRounds));

// Found by the rounds above: an index whose origin lies at the end of the
// int range moved a picture's rectangle past it (signed overflow while the
// rectangle was scaled to the clip). Such a picture is simply off the clip.
TEST(VobSubFuzzFindings, AnOriginAtTheEndsOfTheIntRangeDrawsNothing) {
    const std::string clip = fuzz::TinyClip();
    ASSERT_FALSE(clip.empty());
    const Pair pair = MakePair({{0, 1000, 100, 300, 400, 100}});
    ASSERT_FALSE(pair.sub.empty());
    const std::string base = test::TestRoot() + "/origin";
    test::WriteFile(base + ".sub", pair.sub);
    // The undamaged pair draws its rectangle into the clip.
    test::WriteFile(base + ".idx", pair.idx);
    const fuzz::Burned drawn = fuzz::Burn(clip, "VobSub(\"" + base + ".sub\", 0)");
    ASSERT_TRUE(drawn.opened) << drawn.error;
    EXPECT_GT(fuzz::LitPixels(drawn.frames[0]), 0);
    for (const char* origin : {"2147483647, 0", "0, 2147483647", "-2147483648, 0", "0, -2147483648", "2147483000, 2147483000"}) {
        std::string idx = pair.idx;
        const size_t at = idx.find("org: 0, 0");
        ASSERT_NE(at, std::string::npos);
        idx.replace(at, 9, std::string("org: ") + origin);
        test::WriteFile(base + ".idx", idx);
        const fuzz::Burned b = fuzz::Burn(clip, "VobSub(\"" + base + ".sub\", 0)");
        ASSERT_TRUE(b.opened) << origin << ": " << b.error;
        ASSERT_FALSE(b.readFailed) << origin;
        EXPECT_EQ(fuzz::LitPixels(b.frames[0]), 0) << origin;
    }
}

// Found by the rounds above: an index whose picture size the DVD subtitle
// decoder refuses failed the script, as it should, but left the decoder's
// context behind (LeakSanitizer reports it when the program ends).
TEST(VobSubFuzzFindings, ASizeTheDecoderRefusesFailsTheScriptAndFreesTheDecoder) {
    const std::string clip = fuzz::TinyClip();
    ASSERT_FALSE(clip.empty());
    const Pair pair = MakePair({{0, 1000, 100, 300, 400, 100}});
    ASSERT_FALSE(pair.sub.empty());
    const std::string base = test::TestRoot() + "/size";
    test::WriteFile(base + ".sub", pair.sub);
    for (const char* size : {"100000x100000", "2147483647x480", "720x2147483647"}) {
        std::string idx = pair.idx;
        const size_t at = idx.find("size: 720x480");
        ASSERT_NE(at, std::string::npos);
        idx.replace(at, 13, std::string("size: ") + size);
        test::WriteFile(base + ".idx", idx);
        const fuzz::Burned b = fuzz::Burn(clip, "VobSub(\"" + base + ".sub\", 0)");
        EXPECT_FALSE(b.opened) << size;
        EXPECT_NE(b.error.find("VobSub: the DVD subtitle decoder could not be opened"), std::string::npos)
            << size << ": " << b.error;
    }
}
