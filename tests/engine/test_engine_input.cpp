// Scripts and sources that are wrong or damaged: each ends in a clear error
// text or a missing stream, never in a crash or a hang.
#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <cstring>
#include <random>

#include "tests/engine/EngineFixtures.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

std::string SmallClip() {
    return SharedMedia("small.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
                                     "sine=frequency=440:sample_rate=44100:duration=2", "-pix_fmt", "yuv420p"});
}

std::string ErrorOf(const std::string& script) {
    Opened o;
    o.Open(WriteScript(script));
    EXPECT_EQ(o.openResult, 0);
    EXPECT_EQ(o.video, nullptr);
    EXPECT_EQ(o.audio, nullptr);
    return o.error;
}

}  // namespace

TEST(ScriptEngineInput, ScriptThatCannotBeReadFailsSilently) {
    MyAVIFileInit();
    EXPECT_NE(MyAVIFileOpen((TestRoot() + "/no-such.avs").c_str()), 0);
    const char* text = nullptr;
    EXPECT_EQ(MyAVIFileGetError(&text), 0);
    PAVISTREAM s = nullptr;
    EXPECT_NE(MyAVIFileGetStream(&s, streamtypeVIDEO, 0), 0);
    EXPECT_EQ(s, nullptr);
    MyAVIFileExit();
}

TEST(ScriptEngineInput, BadSourcesGiveErrorsNamingTheFile) {
    std::string missing = TestRoot() + "/missing.mp4";
    std::string err = ErrorOf("DirectShowSource(\"" + missing + "\")\nConvertToYV12()\n");
    EXPECT_NE(err.find("DirectShowSource"), std::string::npos) << err;
    EXPECT_NE(err.find(missing), std::string::npos) << err;
    EXPECT_NE(err.find("line 1"), std::string::npos) << err;

    std::string empty = TestRoot() + "/empty.mp4";
    WriteFile(empty, "");
    EXPECT_NE(ErrorOf("DirectShowSource(\"" + empty + "\")\n").find(empty), std::string::npos);

    std::string noise = TestRoot() + "/noise.avi";
    std::mt19937 gen(7);
    std::string bytes(200000, '\0');
    for (char& c : bytes) c = char(gen());
    WriteFile(noise, bytes);
    Opened o;  // random bytes: an error, or at worst a stream that reads without harm
    o.Open(WriteScript("DirectShowSource(\"" + noise + "\")\nConvertToYV12()\n"));
    if (o.error.empty() && o.video) o.Frame(0);
    if (o.error.empty() && o.audio) o.Audio(0, 1000);

    // mp4 keeps its index at the end: cut in half, it cannot be opened.
    std::string whole = ReadFile(SmallClip());
    std::string cut = TestRoot() + "/cut.mp4";
    WriteFile(cut, whole.substr(0, whole.size() / 2));
    EXPECT_FALSE(ErrorOf("DirectShowSource(\"" + cut + "\")\n").empty());
}

TEST(ScriptEngineInput, TruncatedAndDamagedStreamsReadToTheEnd) {
    std::string mkv = SharedMedia("damaged_src.mkv", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=4", "-f",
                                                      "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=4",
                                                      "-c:v", "libx264", "-g", "200", "-pix_fmt", "yuv420p"});
    std::string bytes = ReadFile(mkv);
    ASSERT_GT(bytes.size(), 20000u);
    std::string damaged = TestRoot() + "/damaged.mkv";
    std::string broken = bytes;
    std::mt19937 gen(3);
    for (size_t i = broken.size() / 2; i < broken.size() / 2 + 3000; ++i) broken[i] = char(gen());
    WriteFile(damaged, broken);
    std::string truncated = TestRoot() + "/truncated.mkv";
    WriteFile(truncated, bytes.substr(0, bytes.size() * 2 / 3));
    for (const std::string& path : {damaged, truncated}) {
        Opened o;
        ASSERT_TRUE(o.Open(WriteScript("DirectShowSource(\"" + path + "\")\nConvertToYV12()\nBicubicResize(96,64)\n"))) << o.error;
        ASSERT_NE(o.video, nullptr);
        // Every frame either reads whole or fails as unreadable (the
        // pictures behind the damage or the cut are not served as repeats
        // of the last one); the pictures that are there come first.
        long good = 0, failed = 0;
        for (long n = 0; n < long(o.videoInfo.dwLength); ++n) {
            const size_t size = o.Frame(n).size();
            if (size == 0) {
                ++failed;
                continue;
            }
            ASSERT_EQ(size, size_t(96 * 64 * 3 / 2)) << n;
            EXPECT_EQ(failed, 0) << path << ": frame " << n << " reads after a failed one";
            ++good;
        }
        EXPECT_GE(good, 40) << path;
        EXPECT_GT(failed, 0) << path;
        long total = 0;
        for (;;) {
            auto s = o.Audio(total, 4096);
            if (s.empty()) break;
            total += long(s.size()) / o.format.nChannels;
        }
        EXPECT_EQ(total, long(o.audioInfo.dwLength));
    }
}

TEST(ScriptEngineInput, PathsWithSpacesAccentsAndQuotesOpen) {
    std::string bytes = ReadFile(SmallClip());
    for (std::string name : {"with space.mp4", "Fähre ñandú 映画.mp4", "say \"hi\".mp4", "a, b\").mp4"}) {
        std::string path = TestRoot() + "/" + name;
        WriteFile(path, bytes);
        Opened o;
        EXPECT_TRUE(o.Open(WriteScript("DirectShowSource(\"" + path + "\")\nConvertToYV12()\n"))) << name << ": " << o.error;
        EXPECT_NE(o.video, nullptr) << name;
        EXPECT_NE(o.audio, nullptr) << name;
        EXPECT_EQ(o.Frame(10).size(), size_t(160 * 120 * 3 / 2)) << name;
    }
}

TEST(ScriptEngineInput, ScriptErrorsNameTheFunctionAndLine) {
    std::string src = "DirectShowSource(\"" + SmallClip() + "\")\n";
    struct Case {
        std::string script;
        std::vector<std::string> words;
    } cases[] = {
        {src + "Sharpen(1.0)\n", {"Sharpen", "line 2"}},
        {src + "ConvertToYV12()\nTextSub(\"a.srt\")", {"TextSub", "line 3"}},
        {src + "VobSub(\"a.sub\", 0)\n", {"VobSub", "line 2"}},
        {src + "Trim(1)\n", {"Trim", "line 2"}},
        {src + "Trim(1.5,3)\n", {"Trim"}},
        {src + "AddBorders(\"x\",0,0,0)\n", {"AddBorders"}},
        {src + "BicubicResize(0,0)\n", {"BicubicResize"}},
        {src + "ChangeFPS(0)\n", {"ChangeFPS"}},
        {src + "ResampleAudio(-5)\n", {"ResampleAudio"}},
        {src + "ConvertToYV12(\n", {"syntax", "line 2"}},
        {"ConvertToYV12()\n", {"ConvertToYV12", "line 1"}},
        {"# nothing\n\n", {"not a video clip"}},
        {"DirectShowSource()\n", {"DirectShowSource"}},
    };
    for (const Case& c : cases) {
        std::string err = ErrorOf(c.script);
        EXPECT_FALSE(err.empty()) << c.script;
        for (const std::string& w : c.words) EXPECT_NE(err.find(w), std::string::npos) << c.script << " -> " << err;
    }
}

TEST(ScriptEngineInput, CommentsBlankLinesAndAnyCaseAreAccepted) {
    std::string script = "# made by hand\n\ndirectshowsource(\"" + SmallClip() + "\")  # the source\n  CONVERTTOYV12\n"
                         "bicubicResize(80, 60)\n";
    Opened o;
    EXPECT_TRUE(o.Open(WriteScript(script))) << o.error;
    EXPECT_EQ(o.header.biWidth, 80);
}

TEST(ScriptEngineInput, SourcesWithoutVideoOrAudioLackThatStream) {
    std::string silent = SharedMedia("silent.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1", "-pix_fmt", "yuv420p"});
    std::string sound = SharedMedia("sound.m4a", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=1"});
    Opened v;
    EXPECT_TRUE(v.Open(WriteScript("DirectShowSource(\"" + silent + "\")\nConvertToYV12()\n")));
    EXPECT_NE(v.video, nullptr);
    EXPECT_EQ(v.audio, nullptr);
    Opened a;
    EXPECT_TRUE(a.Open(WriteScript("DirectShowSource(\"" + sound + "\")\nConvertToYV12()\n", "a.avs")));
    EXPECT_EQ(a.video, nullptr);
    EXPECT_NE(a.audio, nullptr);
}

TEST(ScriptEngineInput, OddSizedAndNon420SourcesBecomeEvenYV12) {
    std::string odd = SharedMedia("odd.mkv", {"-f", "lavfi", "-i", "testsrc2=size=161x121:rate=25:duration=1", "-f", "lavfi", "-i",
                                              "sine=duration=1", "-c:v", "ffv1", "-pix_fmt", "yuv444p"});
    Opened raw;
    EXPECT_TRUE(raw.Open(WriteScript("DirectShowSource(\"" + odd + "\")\n", "raw.avs")));
    EXPECT_NE(raw.header.biCompression, kFourCC_YV12);  // not converted: not YV12
    EXPECT_EQ(raw.Frame(0).size(), size_t(raw.header.biSizeImage));
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript("DirectShowSource(\"" + odd + "\")\nConvertToYV12()\n"))) << o.error;
    EXPECT_EQ(o.header.biCompression, kFourCC_YV12);
    EXPECT_EQ(o.header.biWidth, 160);
    EXPECT_EQ(o.header.biHeight, 120);
    EXPECT_EQ(o.Frame(5).size(), size_t(160 * 120 * 3 / 2));
}

// A sound track that is there but cannot be decoded: every read of it fails
// and says why (the source, the step, the library's own words). The block
// is silence, never taken for the sound; the pictures read as ever, and a
// filter between the source and the reader hands the failure on.
TEST(ScriptEngineInput, SoundThatCannotBeDecodedFailsEveryReadWithItsReason) {
    struct Case {
        BrokenSound how;
        const char* file;
        const char* step;
    };
    for (const Case& c : {Case{BrokenSound::DecoderSetUp, "nosetup.mkv", "opening the aac decoder failed: "},
                          Case{BrokenSound::EveryPacket, "nopacket.mkv", "decoding failed: "}}) {
        const std::string media = MakeClipWithBrokenSound(c.file, c.how).toStdString();
        ASSERT_FALSE(media.empty());
        for (const std::string filter : {"", "ResampleAudio(24000)\n", "Trim(5,0)\n"}) {
            SCOPED_TRACE(std::string(c.file) + " " + filter);
            Opened o;
            ASSERT_TRUE(o.Open(WriteScript("DirectShowSource(\"" + media + "\")\nConvertToYV12()\n" + filter)))
                << o.error;
            ASSERT_NE(o.audio, nullptr);  // the track is there
            for (int read = 0; read < 2; ++read) {
                std::vector<int16_t> buf(4096 * 2, 7);
                LONG bytes = -1, samples = -1;
                EXPECT_EQ(AVIStreamRead(o.audio, LONG(read * 4096), 4096, buf.data(), LONG(buf.size() * 2), &bytes,
                                        &samples),
                          AVIERR_FILEREAD);
                EXPECT_EQ(std::count(buf.begin(), buf.end(), 0), long(buf.size()));
                const char* why = nullptr;
                ASSERT_NE(MyAVIStreamGetError(o.audio, &why), 0);
                ASSERT_NE(why, nullptr);
                const std::string text = why;
                EXPECT_NE(text.find("\"" + media + "\" cannot be read: "), std::string::npos) << text;
                const size_t step = text.find(c.step);
                ASSERT_NE(step, std::string::npos) << text;
                EXPECT_GT(text.size(), step + std::strlen(c.step)) << "the library's words are missing: " << text;
            }
            EXPECT_EQ(o.Frame(10).size(), size_t(160 * 120 * 3 / 2));
        }
    }
    // Sound that decodes: the reads succeed and name no failure.
    Opened good;
    ASSERT_TRUE(good.Open(WriteScript("DirectShowSource(\"" + SmallClip() + "\")\n"))) << good.error;
    ASSERT_FALSE(good.Audio(0, 4096).empty());
    std::vector<int16_t> buf(4096 * 2);
    EXPECT_EQ(AVIStreamRead(good.audio, 4096, 4096, buf.data(), LONG(buf.size() * 2), nullptr, nullptr), 0);
    EXPECT_EQ(MyAVIStreamGetError(good.audio, nullptr), 0);
}
