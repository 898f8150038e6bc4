// A jump lands on exactly the picture a decode from the start gives: the
// source skips pictures it never shows on the way to the frame asked for,
// never anything a later picture is predicted from.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <vector>

#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

constexpr int kW = 192, kH = 108;

// 200 frames of moving pictures, lossy H.264 with three B-frames between
// references, B-frames as references too (pyramid), several reference
// pictures and a key frame every 100 frames, in the given container.
std::string PredictedClip(const QString& ext, const QStringList& extra = {}) {
    QStringList args = {"-f", "lavfi", "-i", QString("testsrc2=size=%1x%2:rate=25:duration=8").arg(kW).arg(kH),
                        "-c:v", "libx264", "-preset", "veryfast", "-crf", "30", "-pix_fmt", "yuv420p", "-x264-params",
                        "bframes=3:b-pyramid=normal:b-adapt=0:ref=3:keyint=100:min-keyint=100:scenecut=0"};
    args += extra;
    return SharedMedia("predicted." + ext, args);
}

std::vector<std::vector<uint8_t>> ReadInOrder(const std::string& script, long count) {
    Opened o;
    std::vector<std::vector<uint8_t>> frames;
    if (!o.Open(script)) return frames;
    for (long n = 0; n < count; ++n) frames.push_back(o.Frame(n));
    return frames;
}

void ExpectJumpsLandExactly(const std::string& media) {
    ASSERT_FALSE(media.empty());
    const std::string script = WriteScript("DirectShowSource(\"" + media + "\")\nConvertToYV12()\n");
    const auto linear = ReadInOrder(script, 200);
    ASSERT_EQ(linear.size(), 200u);
    ASSERT_EQ(linear[0].size(), size_t(kW) * kH * 3 / 2);
    ASSERT_NE(linear[37], linear[38]);  // the pictures move
    Opened o;
    ASSERT_TRUE(o.Open(script)) << o.error;
    // Backwards and forwards into both groups; right after the key frame
    // and right before it; forward within a group (decoded on) and forward
    // past a key frame (a seek); the last frame and the first.
    for (long n : {150L, 37L, 99L, 101L, 63L, 199L, 1L, 125L, 126L, 180L, 98L, 102L, 0L, 57L, 60L, 130L})
        EXPECT_TRUE(o.Frame(n) == linear[size_t(n)]) << "jump to " << n;
    // Reading on after a jump gives every following picture in turn.
    for (long n = 131; n < 160; ++n) EXPECT_TRUE(o.Frame(n) == linear[size_t(n)]) << "frame " << n << " after a jump";
}

TEST(SourceSeek, JumpsToPredictedFramesGiveTheLinearPicturesInMp4) { ExpectJumpsLandExactly(PredictedClip("mp4")); }

TEST(SourceSeek, JumpsToPredictedFramesGiveTheLinearPicturesInMatroska) { ExpectJumpsLandExactly(PredictedClip("mkv")); }

}  // namespace
