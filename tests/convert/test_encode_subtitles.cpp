// A conversion with a subtitle burned in: the output is still a PSP file in
// every respect, and the text is in its pictures at the right times.
#include <gtest/gtest.h>

#include <QDir>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "convert/EncodeToPsp.h"
#include "convert/PspOutputList.h"
#include "media/SubtitleLinker.h"
#include "tests/convert/ProbeSupport.h"
#include "samples/VobSubMaker.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::TestPath;

class EncodeSubtitles : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings.convert = ConvertSettings{};
        ClearOutputs();
        CloseProgramLog();
        OpenProgramLog();
    }
    void TearDown() override { CloseProgramLog(); }

    class Always : public EncodeControl {
    public:
        bool Proceed(long, long) override { return true; }
    };

    bool Run(const VideoFileEntry& e, const QString& out) {
        const EncodeRequest r = test::RequestFromSettings(e, out);
        Always control;
        return EncodeToPsp(r, control).outcome == FileOutcome::Converted;
    }

    // Four seconds of dark grey, 4:3, so the picture gets side borders.
    QString Source() {
        return test::MakeMedia("dark.mkv", {"-f", "lavfi", "-i", "color=0x202020:size=320x240:rate=25:duration=4", "-f",
                                            "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=4",
                                            "-af", "aformat=channel_layouts=stereo", "-pix_fmt", "yuv420p"});
    }

    // Bright luma samples in the lower third of the output picture at a time.
    int BrightBelow(const QString& file, double seconds) {
        QString out;
        const QString raw = TestPath(QString("frame_%1.gray").arg(seconds));
        int rc = test::RunProgram("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-ss", QString::number(seconds), "-i",
                                            file, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", raw},
                                  &out);
        EXPECT_EQ(rc, 0) << out.toStdString();
        const std::string bytes = test::ReadFile(raw.toStdString());
        EXPECT_EQ(bytes.size(), size_t(368 * 208));
        int n = 0;
        for (size_t i = 368 * 140; i < bytes.size(); ++i)
            if (static_cast<unsigned char>(bytes[i]) > 170) ++n;
        return n;
    }
};

TEST_F(EncodeSubtitles, SubRipLinkedBesideTheSourceIsBurnedIn) {
    const QString src = Source();
    ASSERT_FALSE(src.isEmpty());
    test::WriteFile(TestPath("dark.srt").toStdString(), "1\r\n00:00:01,000 --> 00:00:02,500\r\nBURNED IN TEXT\r\n\r\n");
    VideoFileEntry e = test::ExaminedEntry(src);
    ASSERT_EQ(AutoLinkOne(e), 1);
    ASSERT_EQ(e.useSubtitle, 1);
    const QString out = TestPath("dark.mp4");
    ASSERT_TRUE(Run(e, out));
    test::ExpectDefaultPspFile(out, 100);
    EXPECT_EQ(BrightBelow(out, 0.5), 0);
    EXPECT_GT(BrightBelow(out, 1.5), 100);
    EXPECT_EQ(BrightBelow(out, 3.0), 0);

    // The same entry with the subtitle switched off has no text.
    e.useSubtitle = 0;
    const QString plain = TestPath("plain.mp4");
    ASSERT_TRUE(Run(e, plain));
    EXPECT_EQ(BrightBelow(plain, 1.5), 0);
}

TEST_F(EncodeSubtitles, ATrimmedEntryShowsItsLinesWithTheirPictures) {
    const QString src = Source();
    ASSERT_FALSE(src.isEmpty());
    test::WriteFile(TestPath("dark.srt").toStdString(), "1\r\n00:00:02,000 --> 00:00:03,000\r\nBURNED IN TEXT\r\n\r\n");
    VideoFileEntry e = test::ExaminedEntry(src);
    ASSERT_EQ(AutoLinkOne(e), 1);
    e.startTime = 10000000;  // from 1 s: the line belongs to output seconds 1 to 2
    const QString out = TestPath("trimmed.mp4");
    ASSERT_TRUE(Run(e, out));
    EXPECT_EQ(BrightBelow(out, 0.5), 0);
    EXPECT_GT(BrightBelow(out, 1.5), 100);
    EXPECT_EQ(BrightBelow(out, 2.5), 0);
}

TEST_F(EncodeSubtitles, VobSubStreamIsBurnedIn) {
    const QString src = Source();
    ASSERT_FALSE(src.isEmpty());
    const std::string base = TestPath("dark").toStdString();
    ASSERT_TRUE(samples::WriteVobSub(base, {{1000, 1500, 100, 400, 520, 50}}));
    VideoFileEntry e = test::ExaminedEntry(src);
    ASSERT_EQ(AutoLinkOne(e), 1);
    ASSERT_EQ(FieldText(e.subtitlePaths[0]), base + ".sub");
    const QString out = TestPath("dark.mp4");
    ASSERT_TRUE(Run(e, out));
    test::ExpectDefaultPspFile(out, 100);
    EXPECT_EQ(BrightBelow(out, 0.5), 0);
    EXPECT_GT(BrightBelow(out, 1.5), 1000);
    EXPECT_EQ(BrightBelow(out, 3.0), 0);
}

}  // namespace
}  // namespace kalvex
