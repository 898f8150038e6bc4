// SourceReader's answer for a frame the source cannot deliver: nullptr,
// never the buffer with an older picture in it.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>

#include "media/SourceReader.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

#if KALVEX_HAVE_SCRIPT_ENGINE
TEST(SourceReaderFrames, UnreadableFramesComeBackAsNull) {
    static QTemporaryDir dir(qEnvironmentVariable("TMPDIR", "/tmp") + "/kalvex-readerframes-XXXXXX");
    // 100 frames of noise (each picture takes room) in an MP4 whose index
    // is at the front: cut in half it still promises all 100.
    const QString made = MakeMedia(dir.path() + "/noise.mp4",
                                   {"-f", "lavfi", "-i", "color=s=160x120:r=25,trim=end_frame=100,geq=lum='random(1)*255':cb=128:cr=128",
                                    "-c:v", "libx264", "-qp", "0", "-g", "10", "-pix_fmt", "yuv420p", "-movflags", "+faststart"});
    ASSERT_FALSE(made.isEmpty());
    const std::string cut = TestRoot() + "/cut.mp4";
    std::filesystem::copy_file(made.toStdString(), cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
    const std::string script = TestRoot() + "/cut.avs";
    WriteFile(script, "DirectShowSource(\"" + cut + "\")\nConvertToYV12()\n");

    SourceReader reader;
    ASSERT_TRUE(reader.OpenXXXFile(script));
    ASSERT_EQ(reader.Length(SourceReader::kVideoLength), 100);
    int good = 0, failed = 0;
    for (long n = 0; n < 100; ++n) {
        const uint8_t* frame = reader.ReadVideoFrame();
        if (frame) {
            EXPECT_EQ(failed, 0) << "frame " << n << " read after a failed one";
            ++good;
        } else {
            ++failed;
        }
    }
    EXPECT_EQ(reader.VideoPosition(), 100);  // a failed read still moves on
    EXPECT_GT(good, 20);
    EXPECT_GT(failed, 20);
    // Past the end nothing is delivered: nullptr as well.
    EXPECT_EQ(reader.ReadVideoFrame(), nullptr);
    reader.SetVideoPosition(0);
    EXPECT_NE(reader.ReadVideoFrame(), nullptr);
}
#endif
