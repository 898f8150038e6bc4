// The conversion's size hint: the source leaves out the in-loop deblocking
// of H.264 and HEVC only when the picture shrinks at least twofold in both
// directions, only for the thread that set the hint, and decodes in full
// otherwise.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/avisynth/DecodeHint.h"
#include "tests/platform/avisynth/EngineFixtures.h"
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

TEST(DecodeHint, ConversionsGiveFrameThreadedDecodersThreePerCoreUpToSixteen) {
    EXPECT_EQ(ConversionDecoderThreads(true, 1), 3);
    EXPECT_EQ(ConversionDecoderThreads(true, 2), 6);
    EXPECT_EQ(ConversionDecoderThreads(true, 5), 15);
    EXPECT_EQ(ConversionDecoderThreads(true, 6), 16);  // 18 held to the limit
    EXPECT_EQ(ConversionDecoderThreads(true, 64), 16);
    // Slice-threaded decoders and an unknown core count: the library's own.
    EXPECT_EQ(ConversionDecoderThreads(false, 2), 0);
    EXPECT_EQ(ConversionDecoderThreads(true, 0), 0);
    EXPECT_FALSE(HasOutputSizeHint());
    {
        ScopedOutputSizeHint hint(368, 208);
        EXPECT_TRUE(HasOutputSizeHint());
    }
    EXPECT_FALSE(HasOutputSizeHint());
}

TEST(DecodeHint, BelongsToTheThreadAndIsRestored) {
    int w = -1, h = -1;
    GetOutputSizeHint(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    {
        ScopedOutputSizeHint outer(368, 208);
        {
            ScopedOutputSizeHint inner(480, 272);
            GetOutputSizeHint(&w, &h);
            EXPECT_EQ(w, 480);
            EXPECT_EQ(h, 272);
        }
        GetOutputSizeHint(&w, &h);
        EXPECT_EQ(w, 368);
        EXPECT_EQ(h, 208);
        // Another thread (the preview's, say) sees no hint.
        int otherW = -1, otherH = -1;
        std::thread([&] { GetOutputSizeHint(&otherW, &otherH); }).join();
        EXPECT_EQ(otherW, 0);
        EXPECT_EQ(otherH, 0);
    }
    GetOutputSizeHint(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    // Half a size is no size.
    SetOutputSizeHint(368, 0);
    GetOutputSizeHint(&w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
}

namespace {

// A coarsely quantised H.264 clip whose B-pictures are never references,
// so that leaving out their deblocking visibly changes them.
std::string BlockyClip() {
    return SharedMedia("blocky_128x96.mp4", {"-f", "lavfi", "-i", "testsrc2=size=128x96:rate=25:duration=0.48", "-c:v",
                                             "libx264", "-qp", "44", "-g", "6", "-bf", "2", "-x264-params",
                                             "b-pyramid=none:b-adapt=0", "-pix_fmt", "yuv420p"});
}

// Every frame of the clip, read through a script opened under the given
// hint.
std::vector<std::vector<uint8_t>> FramesUnderHint(const std::string& media, int outW, int outH) {
    ScopedOutputSizeHint hint(outW, outH);
    Opened o;
    if (!o.Open(WriteScript("DirectShowSource(\"" + media + "\")\nConvertToYV12()\n"))) {
        ADD_FAILURE() << "open: " << o.error;
        return {};
    }
    std::vector<std::vector<uint8_t>> frames;
    for (long n = 0; n < long(o.videoInfo.dwLength); ++n) frames.push_back(o.Frame(n));
    return frames;
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
