// The conversion's size hint: the source leaves out the in-loop deblocking
// of H.264 and HEVC only when the picture shrinks at least twofold in both
// directions, only for the script opened with the hint, and decodes in full
// otherwise.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

extern "C" {
#include <libavutil/cpu.h>
}

#include "engine/DecodeHint.h"
#include "engine/Engine.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::avs;
using namespace kalvex::test;

TEST(DecodeHint, TwofoldIsTheEdgeInBothDirections) {
    EXPECT_TRUE(ShrinksTwofold(736, 416, 368, 208));   // exactly twofold
    EXPECT_TRUE(ShrinksTwofold(737, 417, 368, 208));   // just past it
    EXPECT_TRUE(ShrinksTwofold(1280, 720, 368, 208));  // the usual 720p source
    EXPECT_FALSE(ShrinksTwofold(735, 416, 368, 208));  // 1.997x across
    EXPECT_FALSE(ShrinksTwofold(736, 415, 368, 208));  // 1.995x down
    EXPECT_FALSE(ShrinksTwofold(732, 414, 368, 208));  // 1.99x both ways
    EXPECT_FALSE(ShrinksTwofold(1920, 400, 368, 208)); // only one direction
    EXPECT_FALSE(ShrinksTwofold(720, 480, 368, 208));  // a DVD picture
    EXPECT_FALSE(ShrinksTwofold(368, 208, 368, 208));  // the same size
    // Unknown sizes never count as shrinking.
    EXPECT_FALSE(ShrinksTwofold(1280, 720, 0, 0));
    EXPECT_FALSE(ShrinksTwofold(0, 0, 368, 208));
    EXPECT_FALSE(ShrinksTwofold(1280, 720, -1, 208));
    // Large sizes do not overflow.
    EXPECT_TRUE(ShrinksTwofold(2000000000, 2000000000, 1000000000, 1000000000));
    EXPECT_FALSE(ShrinksTwofold(1999999999, 2000000000, 1000000000, 1000000000));
}

TEST(DecodeHint, OnlyH264AndHevcSkipTheirDeblocking) {
    EXPECT_TRUE(SkipsLoopFilter(AV_CODEC_ID_H264, 1280, 720, 368, 208));
    EXPECT_TRUE(SkipsLoopFilter(AV_CODEC_ID_HEVC, 1280, 720, 368, 208));
    EXPECT_FALSE(SkipsLoopFilter(AV_CODEC_ID_MPEG2VIDEO, 1920, 1080, 368, 208));
    EXPECT_FALSE(SkipsLoopFilter(AV_CODEC_ID_MPEG4, 1920, 1080, 368, 208));
    EXPECT_FALSE(SkipsLoopFilter(AV_CODEC_ID_H264, 720, 480, 368, 208));
}

TEST(DecodeHint, SliceOnlyDecodersTakeOneThreadUpToTwoCores) {
    EXPECT_EQ(SliceDecoderThreads(1), 1);
    EXPECT_EQ(SliceDecoderThreads(2), 1);
    // Above two cores, and on an unknown count: the library's own choice.
    EXPECT_EQ(SliceDecoderThreads(3), 0);
    EXPECT_EQ(SliceDecoderThreads(16), 0);
    EXPECT_EQ(SliceDecoderThreads(0), 0);
    EXPECT_EQ(SliceDecoderThreads(-1), 0);
}

TEST(DecodeHint, ConversionThreadsComeFromTheTableBySizeAndCores) {
    // One core: one thread at every size.
    EXPECT_EQ(ConversionDecoderThreads(true, 1, 1280, 720), 1);
    EXPECT_EQ(ConversionDecoderThreads(true, 1, 3840, 2160), 1);
    // Up to 1280x720 (exactly 720p included): five on two cores, two more
    // per further core.
    EXPECT_EQ(ConversionDecoderThreads(true, 2, 1280, 720), 5);
    EXPECT_EQ(ConversionDecoderThreads(true, 3, 1280, 720), 7);
    EXPECT_EQ(ConversionDecoderThreads(true, 2, 720, 480), 5);
    EXPECT_EQ(ConversionDecoderThreads(true, 7, 1280, 720), 15);
    EXPECT_EQ(ConversionDecoderThreads(true, 8, 1280, 720), 16);  // 17 held to the limit
    // One pixel more: the 1080p row, five on two cores and one more per
    // further core.
    EXPECT_EQ(ConversionDecoderThreads(true, 3, 1281, 720), 6);
    EXPECT_EQ(ConversionDecoderThreads(true, 3, 1280, 721), 6);
    EXPECT_EQ(ConversionDecoderThreads(true, 1, 1920, 1080), 1);
    EXPECT_EQ(ConversionDecoderThreads(true, 2, 1920, 1080), 5);
    EXPECT_EQ(ConversionDecoderThreads(true, 3, 1920, 1080), 6);
    EXPECT_EQ(ConversionDecoderThreads(true, 2, 1920, 1088), 5);  // coded 1080p
    EXPECT_EQ(ConversionDecoderThreads(true, 12, 1920, 1080), 15);
    EXPECT_EQ(ConversionDecoderThreads(true, 13, 1920, 1080), 16);  // exactly the limit
    EXPECT_EQ(ConversionDecoderThreads(true, 64, 1920, 1080), 16);
    // Beyond 1920x1088: one per core from two cores on, at most six.
    EXPECT_EQ(ConversionDecoderThreads(true, 1, 1920, 1089), 1);
    EXPECT_EQ(ConversionDecoderThreads(true, 2, 1920, 1089), 2);
    EXPECT_EQ(ConversionDecoderThreads(true, 2, 3840, 2160), 2);
    EXPECT_EQ(ConversionDecoderThreads(true, 3, 3840, 2160), 3);
    EXPECT_EQ(ConversionDecoderThreads(true, 6, 3840, 2160), 6);
    EXPECT_EQ(ConversionDecoderThreads(true, 7, 3840, 2160), 6);
    EXPECT_EQ(ConversionDecoderThreads(true, 32, 3840, 2160), 6);
    // An unknown size counts as 1080p.
    EXPECT_EQ(ConversionDecoderThreads(true, 2, 0, 0), 5);
    EXPECT_EQ(ConversionDecoderThreads(true, 4, -1280, 720), 7);
    // Slice-threaded decoders and an unknown core count: the library's own.
    EXPECT_EQ(ConversionDecoderThreads(false, 2, 1280, 720), 0);
    EXPECT_EQ(ConversionDecoderThreads(true, 0, 1280, 720), 0);
    EXPECT_EQ(ConversionDecoderThreads(true, -2, 1280, 720), 0);
}

TEST(DecodeHint, ConversionOptionsCarryTheSizeAndTheThreads) {
    const OpenOptions none;
    EXPECT_FALSE(none.HasOutputSize());
    EXPECT_EQ(none.decoderThreads, 0);
    EXPECT_EQ(none.decoderCores, 0);
    const OpenOptions c = ConversionOptions(368, 208);
    EXPECT_TRUE(c.HasOutputSize());
    EXPECT_EQ(c.outputWidth, 368);
    EXPECT_EQ(c.outputHeight, 208);
    EXPECT_EQ(c.decoderCores, av_cpu_count());
    EXPECT_GE(c.decoderCores, 1);
    // Half a size is no size, and without a size no conversion's threads.
    for (const auto& [w, h] : {std::pair{368, 0}, std::pair{0, 208}, std::pair{-368, 208}}) {
        const OpenOptions half = ConversionOptions(w, h);
        EXPECT_FALSE(half.HasOutputSize()) << w << "x" << h;
        EXPECT_EQ(half.decoderThreads, 0) << w << "x" << h;
        EXPECT_EQ(half.decoderCores, 0) << w << "x" << h;
    }
    EXPECT_TRUE(ConversionOptions(1, 1).HasOutputSize());
}

namespace {

// A coarsely quantised H.264 clip whose B-pictures are never references,
// so that leaving out their deblocking visibly changes them.
std::string BlockyClip() {
    return SharedMedia("blocky_128x96.mp4", {"-f", "lavfi", "-i", "testsrc2=size=128x96:rate=25:duration=0.48", "-c:v",
                                             "libx264", "-qp", "44", "-g", "6", "-bf", "2", "-x264-params",
                                             "b-pyramid=none:b-adapt=0", "-pix_fmt", "yuv420p"});
}

// Every frame of the clip, read through a script opened with the given
// output size.
std::vector<std::vector<uint8_t>> FramesUnderHint(const std::string& media, int outW, int outH) {
    OpenOptions options;
    options.outputWidth = outW;
    options.outputHeight = outH;
    return AllFrames(WriteScript("DirectShowSource(\"" + media + "\")\nConvertToYV12()\n"), options);
}

}  // namespace

TEST(DecodeHint, SourceSkipsDeblockingOnlyFromTwofold) {
    const std::string media = BlockyClip();
    ASSERT_FALSE(media.empty());
    const auto full = FramesUnderHint(media, 0, 0);
    ASSERT_EQ(full.size(), 12u);
    // Exactly twofold: the B-pictures lose their deblocking, the pictures
    // others are predicted from keep it (the key frame, the P-pictures).
    const auto half = FramesUnderHint(media, 64, 48);
    ASSERT_EQ(half.size(), full.size());
    EXPECT_EQ(half[0], full[0]);
    int changed = 0;
    for (size_t n = 0; n < full.size(); ++n) changed += half[n] != full[n];
    EXPECT_GE(changed, 4);
    EXPECT_LE(changed, 8);
    // Just short of twofold, in either direction: decoded in full.
    EXPECT_EQ(FramesUnderHint(media, 66, 48), full);
    EXPECT_EQ(FramesUnderHint(media, 64, 50), full);
    // A hint that enlarges changes nothing.
    EXPECT_EQ(FramesUnderHint(media, 256, 192), full);
}
