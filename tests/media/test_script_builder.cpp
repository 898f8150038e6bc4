// The script builder: every line of both variants, the file it writes, and
// (with the script engine built) the picture each script delivers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QString>
#include <cstring>
#include <sstream>

#include "common/AppSettings.h"
#include "media/ScriptBuilder.h"
#include "platform/system/Folders.h"
#include "platform/system/TempFiles.h"
#include "tests/media/EntryFixtures.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

#include "engine/AviSynth.h"
#include "subtitles/engine/SubtitleFilters.h"

namespace kalvex {
namespace {

using test::kSecond;
using test::Lines;

VideoFileEntry Source(const std::string& path, int width, int height, double fps = 25, double seconds = 10) {
    return test::SourceEntry(path, width, height, fps, seconds);
}

const ConvertSettings kDefaults{};  // X 368, Y 208, fps 0, AudioResample 24000

std::string Conversion(const VideoFileEntry& e, const ConvertSettings& s = kDefaults) {
    return ScriptText(e, ScriptVariant::Conversion, s);
}
std::string Preview(const VideoFileEntry& e, const ConvertSettings& s = kDefaults) {
    return ScriptText(e, ScriptVariant::Preview, s);
}

TEST(ScriptText, PlainSourceGivesSixLinesAndItsPreview) {
    const VideoFileEntry e = Source("/videos/clip one.avi", 640, 480);
    EXPECT_EQ(Conversion(e),
              "DirectShowSource(\"/videos/clip one.avi\")\n"
              "ConvertToYV12()\n"
              "ChangeFPS(25.000000)\n"
              "ResampleAudio(24000)\n"
              "AddBorders(106,0,106,0)\n"
              "BicubicResize(368,208)\n");
    EXPECT_EQ(Preview(e),
              "DirectShowSource(\"/videos/clip one.avi\")\n"
              "ConvertToYV12()\n"
              "ChangeFPS(25.000000)\n"
              "ResampleAudio(24000)\n"
              "BicubicResize(640,480)\n");
}

TEST(ScriptText, BordersBoxTheDisplayGeometryTo16By9) {
    EXPECT_EQ(Lines(Conversion(Source("/v/a.mkv", 1920, 800)))[4], "AddBorders(0,140,0,140)");
    EXPECT_EQ(Lines(Conversion(Source("/v/a.mkv", 1280, 720)))[4], "AddBorders(0,0,0,0)");
    // Narrower than 16:9 by a hair: left and right, rounded toward zero.
    EXPECT_EQ(Lines(Conversion(Source("/v/a.mkv", 1278, 720)))[4], "AddBorders(1,0,1,0)");

    // 720 x 480 shown at 4:3 counts as 640 x 480.
    VideoFileEntry dvd = Source("/v/dvd.mpg", 720, 480);
    dvd.mediaInfo.darX = 4;
    dvd.mediaInfo.darY = 3;
    EXPECT_EQ(Lines(Conversion(dvd))[4], "AddBorders(106,0,106,0)");
    EXPECT_EQ(Lines(Preview(dvd))[4], "BicubicResize(640,480)");
    // A ratio with one part unknown is ignored.
    dvd.mediaInfo.darY = 0;
    EXPECT_EQ(Lines(Preview(dvd))[4], "BicubicResize(720,480)");
    // Widescreen DVD: 16:9 of 480 lines is 853 wide, so just about no border.
    dvd.mediaInfo.darX = 16;
    dvd.mediaInfo.darY = 9;
    EXPECT_EQ(Lines(Conversion(dvd))[4], "AddBorders(0,0,0,0)");
    EXPECT_EQ(Lines(Preview(dvd))[4], "BicubicResize(853,480)");

    // The target is the PSP size of the settings; the 16:9 box stays.
    ConvertSettings s;
    s.width = 480;
    s.height = 272;
    const auto lines = Lines(Conversion(Source("/v/a.avi", 640, 480), s));
    EXPECT_EQ(lines[4], "AddBorders(106,0,106,0)");
    EXPECT_EQ(lines[5], "BicubicResize(480,272)");
}

// Best quality scales with the sharper Lanczos kernel; the preview and the
// default keep the bicubic one.
TEST(ScriptText, BestQualityScalesWithLanczos) {
    ConvertSettings s;
    s.quality = kBestQuality;
    const VideoFileEntry e = Source("/v/a.avi", 640, 480);
    EXPECT_EQ(Lines(Conversion(e, s))[5], "LanczosResize(368,208)");
    EXPECT_EQ(Lines(Preview(e, s))[4], "BicubicResize(640,480)");
    s.quality = kFastQuality;
    EXPECT_EQ(Lines(Conversion(e, s))[5], "BicubicResize(368,208)");
}

TEST(ScriptText, FrameRateAndResampleFollowTheSettings) {
    VideoFileEntry ntsc = Source("/v/a.avi", 640, 480, 30000.0 / 1001);
    EXPECT_EQ(Lines(Conversion(ntsc))[2], "ChangeFPS(29.970030)");
    ConvertSettings s;
    s.fps = 23.976;
    s.audioResample = 0;  // keep the source's rate: no line
    const auto lines = Lines(Conversion(ntsc, s));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "ChangeFPS(23.976000)");
    EXPECT_EQ(lines[3], "AddBorders(106,0,106,0)");
    // No known rate: 25.
    VideoFileEntry unknown = Source("/v/a.avi", 640, 480, 0);
    EXPECT_EQ(Lines(Conversion(unknown))[2], "ChangeFPS(25.000000)");
    unknown.mediaInfo.fps = -1;
    EXPECT_EQ(Lines(Conversion(unknown))[2], "ChangeFPS(25.000000)");
}

TEST(ScriptText, TrimCountsWholeFramesOfTheCutRate) {
    VideoFileEntry e = Source("/v/a.avi", 640, 480, 30000.0 / 1001, 60);
    e.startTime = 10 * kSecond;
    e.endTime = 20 * kSecond;
    auto lines = Lines(Conversion(e));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[2], "ChangeFPS(29.970030)");
    EXPECT_EQ(lines[3], "Trim(290,580)");
    EXPECT_EQ(lines[4], "ResampleAudio(24000)");
    EXPECT_EQ(Lines(Preview(e))[3], "Trim(290,580)");

    // From the start to before the end still trims, from frame 0.
    VideoFileEntry head = Source("/v/a.avi", 640, 480, 25, 60);
    head.endTime = 30 * kSecond + 5000000;  // 30.5 s
    EXPECT_EQ(Lines(Conversion(head))[3], "Trim(0,762)");
    // Untrimmed: start 0 and end = duration.
    head.endTime = head.mediaInfo.duration;
    EXPECT_EQ(Lines(Conversion(head))[3], "ResampleAudio(24000)");
    // A start alone is a trim too; the frame rate setting decides the count.
    head.startTime = 2 * kSecond;
    ConvertSettings s;
    s.fps = 15;
    EXPECT_EQ(Lines(Conversion(head, s))[3], "Trim(30,900)");
}

TEST(ScriptText, WithASubtitleTheCutComesLast) {
    VideoFileEntry e = Source("/v/movie.avi", 640, 480, 25, 60);
    e.subtitleCount = 1;
    std::strcpy(e.subtitlePaths[0], "/v/movie.srt");
    e.useSubtitle = 1;
    e.startTime = 2 * kSecond;
    const auto lines = Lines(Conversion(e));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[3], "ResampleAudio(24000)");
    EXPECT_EQ(lines[6], "TextSub(\"/v/movie.srt\")");
    EXPECT_EQ(lines[7], "Trim(50,1500)");
    // Switched off, the subtitle leaves the cut in its place.
    e.useSubtitle = 0;
    EXPECT_EQ(Lines(Conversion(e))[3], "Trim(50,1500)");
}

TEST(ScriptText, SubtitleLineLastAndWithoutLineBreak) {
    VideoFileEntry e = Source("/v/movie.avi", 640, 480);
    e.subtitleCount = 2;
    std::strcpy(e.subtitlePaths[0], "/v/movie.srt");
    std::strcpy(e.subtitlePaths[1], "/v/movie.sub");
    e.selectedStream[1] = 2;
    e.selectedSubtitle = 1;

    // Not used: no line.
    EXPECT_EQ(Lines(Conversion(e)).size(), 6u);

    e.useSubtitle = 1;
    std::string text = Conversion(e);
    EXPECT_EQ(text.substr(text.rfind("BicubicResize")), "BicubicResize(368,208)\nVobSub(\"/v/movie.sub\", 2)");
    e.selectedSubtitle = 0;
    text = Preview(e);
    EXPECT_EQ(text.substr(text.rfind("BicubicResize")), "BicubicResize(640,480)\nTextSub(\"/v/movie.srt\")");
    // The extension compares in upper case; a name without extension is text.
    std::strcpy(e.subtitlePaths[0], "/v/Movie.Sub");
    EXPECT_EQ(Lines(Conversion(e)).back(), "VobSub(\"/v/Movie.Sub\", 0)");
    std::strcpy(e.subtitlePaths[0], "/v.d/subtitles");
    EXPECT_EQ(Lines(Conversion(e)).back(), "TextSub(\"/v.d/subtitles\")");

    // A damaged record choosing a file outside the array or an empty path
    // gets no subtitle line rather than reading beyond the record.
    e.selectedSubtitle = 25;
    EXPECT_EQ(Lines(Conversion(e)).size(), 6u);
    e.selectedSubtitle = -1;
    EXPECT_EQ(Lines(Conversion(e)).size(), 6u);
    e.selectedSubtitle = 5;
    EXPECT_EQ(Lines(Conversion(e)).size(), 6u);

    // The last file of the array is used; the index one past it is not,
    // even when the bytes after the array would read as a path.
    std::strcpy(e.subtitlePaths[kMaxSubtitleFiles - 1], "/v/last.srt");
    e.selectedSubtitle = kMaxSubtitleFiles - 1;
    EXPECT_EQ(Lines(Conversion(e)).back(), "TextSub(\"/v/last.srt\")");
    static_assert(kMaxSubtitleFiles == 20);
    e.streamCounts[0] = 0x732f762f;  // "/v/s" as it lies in memory
    e.streamCounts[1] = 0;
    e.selectedSubtitle = kMaxSubtitleFiles;
    EXPECT_EQ(Lines(Conversion(e)).size(), 6u);
    EXPECT_EQ(Lines(Preview(e)).size(), 5u) << Preview(e);
}

TEST(ScriptText, NoFileNameCanEndItsStringOrItsLine) {
    // Plain names keep plain quotes; a name with a quote goes in triple quotes.
    EXPECT_EQ(Lines(Conversion(Source("/v/a b#(c).avi", 640, 480)))[0], "DirectShowSource(\"/v/a b#(c).avi\")");
    EXPECT_EQ(Lines(Conversion(Source("/v/say \"hi\".avi", 640, 480)))[0],
              "DirectShowSource(\"\"\"/v/say \"hi\".avi\"\"\")");
    std::string literal = "untouched";
    for (const char* path : {"/v/x\", 7) #.avi", "/v/end\"", "/v/end\"\"", "\"/v/start", "/v/a\"\"b"}) {
        ASSERT_TRUE(ScriptString(path, &literal)) << path;
        EXPECT_EQ(literal, std::string("\"\"\"") + path + "\"\"\"");
    }
    // What no script string can carry is refused, and the script is empty.
    literal = "untouched";
    for (const char* path : {"/v/inj\")\nTrim(0,10)\n#.3gp", "/v/cr\r.avi", "/v/three\"\"\"q.avi", "/v/\"\"\"\""}) {
        EXPECT_FALSE(ScriptString(path, &literal)) << path;
        EXPECT_EQ(literal, "untouched");
        EXPECT_EQ(Conversion(Source(path, 640, 480)), "") << path;
    }
    EXPECT_EQ(UnsafeScriptPathText("/v/a\nb"),
              "Could not use /v/a\nb as Input!\r\nA conversion script cannot name this file: its name holds a line "
              "break or three double quotes in a row.");
    // A subtitle path the same: no script rather than one with a line of its own.
    VideoFileEntry e = Source("/v/movie.avi", 640, 480);
    e.useSubtitle = 1;
    e.subtitleCount = 1;
    e.selectedSubtitle = 0;
    std::strcpy(e.subtitlePaths[0], "/v/x\"\"\")\nTrim(0,10)\n#.srt");
    EXPECT_EQ(Conversion(e), "");
    std::string path;
    EXPECT_FALSE(WriteScript(e, ScriptVariant::Conversion, AppSettings.convert, &path));
    EXPECT_TRUE(path.empty());
    std::strcpy(e.subtitlePaths[0], "/v/x\", 9) #.sub");
    EXPECT_EQ(Lines(Conversion(e)).back(), "VobSub(\"\"\"/v/x\", 9) #.sub\"\"\", 0)");
}

TEST(WriteScript, OneFileNamePerSourceInTheTemporaryFolder) {
    const ConvertSettings saved = AppSettings.convert;
    AppSettings.convert = ConvertSettings{};
    AppSettings.convert.width = 480;
    AppSettings.convert.height = 272;
    const VideoFileEntry e = Source("/videos/clip.avi", 640, 480);
    std::string path;
    ASSERT_TRUE(WriteScript(e, ScriptVariant::Conversion, AppSettings.convert, &path));
    EXPECT_EQ(path, TempFolder() + "PreviewAVS_clip.avi_" + std::to_string(getpid()) + ".avs");
    EXPECT_EQ(path.rfind(test::TestRoot(), 0), 0u);  // inside this test's TMPDIR
    EXPECT_EQ(test::ReadFile(path), ScriptText(e, ScriptVariant::Conversion, AppSettings.convert));
    EXPECT_NE(test::ReadFile(path).find("BicubicResize(480,272)"), std::string::npos);

    // The preview of the same file replaces it under the same name, and the
    // name is registered for deletion once.
    std::string second;
    ASSERT_TRUE(WriteScript(e, ScriptVariant::Preview, AppSettings.convert, &second));
    EXPECT_EQ(second, path);
    EXPECT_EQ(test::ReadFile(path), ScriptText(e, ScriptVariant::Preview, AppSettings.convert));
    const auto registered = RegisteredTempFiles();
    EXPECT_EQ(std::count(registered.begin(), registered.end(), path), 1);
    AppSettings.convert = saved;
}

TEST(WriteScript, FolderThatCannotTakeTheFileGivesNoPath) {
    const std::string saved = getenv("TMPDIR");
    setenv("TMPDIR", (test::TestRoot() + "/missing-folder").c_str(), 1);
    std::string path = "untouched";
    EXPECT_FALSE(WriteScript(Source("/v/a.avi", 640, 480), ScriptVariant::Conversion, AppSettings.convert, &path));
    EXPECT_EQ(path, "untouched");
    setenv("TMPDIR", saved.c_str(), 1);
}


// Evaluates the script with the engine; the picture's size, or the error.
struct Evaluated {
    bool ok = false;
    int width = 0, height = 0;
    long frames = 0;
    std::string error;
};

Evaluated Evaluate(const std::string& script) {
    Evaluated out;
    RegisterSubtitleFilters();  // the scripts burn subtitles in
    MyAVIFileInit();
    if (MyAVIFileOpen(script.c_str()) != 0) {
        out.error = "cannot read script";
    } else if (const char* text = nullptr; MyAVIFileGetError(&text) && text) {
        out.error = text;
    } else {
        PAVISTREAM video = nullptr;
        if (MyAVIFileGetStream(&video, streamtypeVIDEO, 0) == 0 && video) {
            BITMAPINFOHEADER header{};
            LONG size = sizeof header;
            AVISTREAMINFOA info{};
            if (AVIStreamReadFormat(video, 0, &header, &size) == 0 &&
                AVIStreamInfoA(video, &info, sizeof info) == 0) {
                std::vector<uint8_t> frame(header.biSizeImage);
                LONG bytes = 0, samples = 0;
                out.ok = AVIStreamRead(video, 0, 1, frame.data(), LONG(frame.size()), &bytes, &samples) == 0 &&
                         bytes == LONG(header.biSizeImage);
                out.width = header.biWidth;
                out.height = header.biHeight;
                out.frames = long(info.dwLength);
            }
            MyAVIStreamClose(video);
        }
    }
    MyAVIFileExit();
    return out;
}

TEST(ScriptEngineCheck, EveryConversionScriptDeliversThePspPicture) {
    const ConvertSettings saved = AppSettings.convert;
    struct Case {
        int width, height, darX, darY;
        const char* rate;
        double fps;
    };
    const Case cases[] = {
        {640, 480, 0, 0, "25", 25},            // AddBorders(106,0,106,0)
        {1920, 800, 0, 0, "25", 25},           // AddBorders(0,140,0,140)
        {1280, 720, 0, 0, "25", 25},           // AddBorders(0,0,0,0)
        {720, 480, 4, 3, "30000/1001", 30000.0 / 1001},  // DAR 4:3
        {320, 240, 0, 0, "30000/1001", 30000.0 / 1001},  // trimmed below
    };
    std::vector<QString> clips;
    for (const Case& c : cases) {
        const QString name = QString("src%1x%2.mp4").arg(c.width).arg(c.height);
        clips.push_back(test::MakeClip(name, 1.0, c.width, c.height, c.rate));
        ASSERT_FALSE(clips.back().isEmpty());
    }
    for (const ConvertSettings& size : {ConvertSettings{}, ConvertSettings{480, 272}}) {
        AppSettings.convert = size;
        int n = 0;
        for (const Case& c : cases) {
            const QString clip = clips[size_t(n)];
            VideoFileEntry e = Source(clip.toStdString(), c.width, c.height, c.fps, 1.0);
            e.mediaInfo.darX = c.darX;
            e.mediaInfo.darY = c.darY;
            if (++n == 5) {  // a trim inside the clip
                e.startTime = kSecond / 5;
                e.endTime = kSecond * 4 / 5;
            }
            for (ScriptVariant v : {ScriptVariant::Conversion, ScriptVariant::Preview}) {
                std::string path;
                ASSERT_TRUE(WriteScript(e, v, AppSettings.convert, &path));
                const Evaluated r = Evaluate(path);
                ASSERT_TRUE(r.ok) << test::ReadFile(path) << "\n" << r.error;
                if (v == ScriptVariant::Conversion) {
                    EXPECT_EQ(r.width, size.width) << test::ReadFile(path);
                    EXPECT_EQ(r.height, size.height) << test::ReadFile(path);
                } else {
                    const int wd = c.darX ? c.darX * c.height / c.darY : c.width;
                    EXPECT_EQ(r.width, wd) << test::ReadFile(path);
                    EXPECT_EQ(r.height, c.height);
                }
                if (n == 5) {
                    EXPECT_EQ(r.frames, 29 * 4 / 5 - 29 / 5 + 1) << test::ReadFile(path);
                }
            }
        }
    }
    AppSettings.convert = saved;
}

TEST(ScriptEngineCheck, SubtitleLinesEvaluate) {
    const QString clip = test::MakeClip("sub.mp4", 1.0, 320, 240);
    ASSERT_FALSE(clip.isEmpty());
    const std::string srt = test::TestRoot() + "/sub.srt";
    test::WriteFile(srt, "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n");
    VideoFileEntry e = Source(clip.toStdString(), 320, 240, 25, 1.0);
    e.subtitleCount = 1;
    std::strcpy(e.subtitlePaths[0], srt.c_str());
    e.streamCounts[0] = 1;
    e.useSubtitle = 1;
    std::string path;
    ASSERT_TRUE(WriteScript(e, ScriptVariant::Conversion, AppSettings.convert, &path));
    const Evaluated r = Evaluate(path);
    if (!r.ok && r.error.find("TextSub is not available") != std::string::npos)
        GTEST_SKIP() << "this engine build cannot draw subtitles: " << r.error;
    ASSERT_TRUE(r.ok) << test::ReadFile(path) << "\n" << r.error;
    EXPECT_EQ(r.width, AppSettings.convert.width);
    EXPECT_EQ(r.height, AppSettings.convert.height);
}

// The builder writes such a path as it is; the engine either reads the line
// as meant and delivers the picture, or refuses the script naming the line.
// It never crashes and never opens some other file.
TEST(ScriptEngineCheck, PathWithDoubleQuoteNeverCrashes) {
    const QString clip = test::MakeClip("say \"hi\".mp4", 1.0, 320, 240);
    ASSERT_FALSE(clip.isEmpty());
    std::string path;
    ASSERT_TRUE(WriteScript(Source(clip.toStdString(), 320, 240, 25, 1.0), ScriptVariant::Conversion, AppSettings.convert, &path));
    const Evaluated r = Evaluate(path);
    if (r.ok) {
        EXPECT_EQ(r.width, AppSettings.convert.width);
        EXPECT_EQ(r.height, AppSettings.convert.height);
    } else {
        EXPECT_NE(r.error.find("line 1"), std::string::npos) << r.error;
    }
    // A quote that ends the path early names a file that does not exist.
    const std::string other = test::TestRoot() + "/say \"x.mp4";
    VideoFileEntry e = Source(other, 320, 240, 25, 1.0);
    ASSERT_TRUE(WriteScript(e, ScriptVariant::Conversion, AppSettings.convert, &path));
    const Evaluated refused = Evaluate(path);
    EXPECT_FALSE(refused.ok);
    EXPECT_FALSE(refused.error.empty());
}


}  // namespace
}  // namespace kalvex
