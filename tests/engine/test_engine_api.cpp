// The engine's own interface: the options of an open reach that script's
// source and no other, the source's findings come back in the result, and
// the function table decides what a script may call.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>

#include "engine/AviSynth.h"
#include "engine/DecodeHint.h"
#include "engine/Engine.h"
#include "engine/Functions.h"
#include "platform/plugins/DirectShowSourcePlugin.h"

extern "C" {
#include <libavutil/cpu.h>
}
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::avs;
using namespace kalvex::test;

namespace {

// H.264 whose B-pictures are never references: leaving out their
// deblocking changes them.
std::string Blocky() {
    return SharedMedia("api_blocky_128x96.mp4", {"-f", "lavfi", "-i", "testsrc2=size=128x96:rate=25:duration=0.48", "-c:v",
                                                 "libx264", "-qp", "44", "-g", "6", "-bf", "2", "-x264-params",
                                                 "b-pyramid=none:b-adapt=0", "-pix_fmt", "yuv420p"});
}

std::string Source(const std::string& media) { return "DirectShowSource(\"" + media + "\")\nConvertToYV12()\n"; }

OpenOptions Hint(int w, int h) {
    OpenOptions o;
    o.outputWidth = w;
    o.outputHeight = h;
    return o;
}

std::vector<std::vector<uint8_t>> Frames(const OpenResult& r) {
    std::vector<std::vector<uint8_t>> frames;
    if (!r.script) return frames;
    for (long n = 0; n < long(r.script->VideoInfo().dwLength); ++n) frames.push_back(ScriptFrame(*r.script, n));
    return frames;
}

}  // namespace

TEST(EngineApi, AHintReachesOnlyTheScriptOpenedWithIt) {
    const std::string media = Blocky();
    ASSERT_FALSE(media.empty());
    const std::string script = WriteScript(Source(media));
    // Two scripts on one thread: the first with a twofold hint, the second
    // with none. Opened one after the other and read afterwards, so that
    // nothing set for the first could still be around for the second.
    OpenResult hinted = OpenScriptFile(script, Hint(64, 48));
    OpenResult plain = OpenScriptFile(script);
    ASSERT_TRUE(hinted.script) << hinted.error;
    ASSERT_TRUE(plain.script) << plain.error;
    EXPECT_TRUE(hinted.source.skipsLoopFilter);
    EXPECT_FALSE(plain.source.skipsLoopFilter);
    const auto full = Frames(plain);
    const auto half = Frames(hinted);
    ASSERT_EQ(full.size(), 12u);
    ASSERT_EQ(half.size(), full.size());
    EXPECT_NE(half, full);
    // The other way round, and on another thread: no hint there either.
    OpenResult elsewhere;
    std::thread([&] { elsewhere = OpenScriptFile(script); }).join();
    ASSERT_TRUE(elsewhere.script) << elsewhere.error;
    EXPECT_FALSE(elsewhere.source.skipsLoopFilter);
    EXPECT_EQ(Frames(elsewhere), full);
    // Just short of twofold in one direction: decoded in full.
    OpenResult near = OpenScriptFile(script, Hint(65, 48));
    EXPECT_FALSE(near.source.skipsLoopFilter);
    EXPECT_EQ(Frames(near), full);
}

TEST(EngineApi, DecoderThreadsReachAFrameThreadedDecoderOnly) {
    const std::string h264 = WriteScript(Source(Blocky()), "h264.avs");
    const std::string mpeg2 = WriteScript(
        Source(SharedMedia("api_mpeg2.mpg", {"-f", "lavfi", "-i", "testsrc2=size=128x96:rate=25:duration=0.4", "-c:v",
                                             "mpeg2video", "-pix_fmt", "yuv420p"})),
        "mpeg2.avs");
    OpenOptions five;
    five.decoderThreads = 5;
    OpenResult a = OpenScriptFile(h264, five);
    OpenResult b = OpenScriptFile(h264);
    ASSERT_TRUE(a.script) << a.error;
    ASSERT_TRUE(b.script) << b.error;
    EXPECT_EQ(a.source.decoderThreads, 5);
    EXPECT_EQ(b.source.decoderThreads, 0);  // the library's own choice
    EXPECT_EQ(Frames(a), Frames(b));        // more threads, the same pictures
    // MPEG-2 splits its pictures into slices: it keeps the library's count.
    OpenResult m = OpenScriptFile(mpeg2, five);
    ASSERT_TRUE(m.script) << m.error;
    EXPECT_EQ(m.source.decoderThreads, 0);
    OpenResult c = OpenScriptFile(h264, ConversionOptions(64, 48));
    // A conversion's options: the table's count for the picture's size.
    EXPECT_EQ(c.source.decoderThreads, ConversionDecoderThreads(true, av_cpu_count(), 128, 96));
    OpenOptions cores = ConversionOptions(64, 48);
    cores.decoderCores = 1;
    cores.decoderThreads = 5;  // the table's count wins
    OpenResult one = OpenScriptFile(h264, cores);
    ASSERT_TRUE(one.script) << one.error;
    EXPECT_EQ(one.source.decoderThreads, 1);
    EXPECT_TRUE(c.source.skipsLoopFilter);
}

TEST(EngineApi, TheResultCarriesTheAspectRatioOfTheLastSource) {
    auto clip = [](const char* name, const char* sar) {
        return SharedMedia(name, {"-f", "lavfi", "-i", "testsrc2=size=720x480:rate=5:duration=0.4", "-vf",
                                  QString("setsar=%1").arg(sar), "-c:v", "libx264", "-pix_fmt", "yuv420p"});
    };
    const std::string wide = clip("api_wide.mkv", "32/27");
    const std::string narrow = clip("api_narrow.mkv", "8/9");
    OpenResult w = OpenScriptText(Source(wide) + "BicubicResize(368,208)\n", "w.avs");
    ASSERT_TRUE(w.script) << w.error;
    EXPECT_EQ(w.source.darX, 16);  // the source's, not the resized picture's
    EXPECT_EQ(w.source.darY, 9);
    OpenResult two = OpenScriptText(Source(wide) + Source(narrow), "two.avs");
    ASSERT_TRUE(two.script) << two.error;
    EXPECT_EQ(two.source.darX, 4);
    EXPECT_EQ(two.source.darY, 3);
    // A script without a source has none, whatever was opened before.
    OpenResult none = OpenScriptText("ConvertToYV12()\n", "none.avs");
    EXPECT_FALSE(none.script);
    EXPECT_EQ(none.Clip(), nullptr);
    EXPECT_EQ(none.source.darX, 0);
    EXPECT_EQ(none.source.darY, 0);
    EXPECT_EQ(none.error, "ConvertToYV12: there is no clip to work on\n(none.avs, line 1)");
}

TEST(EngineApi, ScriptFilesThatCannotBeReadAndTheLengthLimit) {
    OpenResult missing = OpenScriptFile(TestRoot() + "/no-such.avs");
    EXPECT_EQ(missing.fileError, AVIERR_FILEOPEN);
    EXPECT_FALSE(missing.script);
    EXPECT_TRUE(missing.error.empty());
    // Exactly 1 MiB is read and evaluated; one byte more is refused.
    std::string text = "# " + std::string((1 << 20) - 3, 'x') + "\n";
    ASSERT_EQ(text.size(), size_t(1) << 20);
    OpenResult atLimit = OpenScriptFile(WriteScript(text, "limit.avs"));
    EXPECT_EQ(atLimit.fileError, AVIERR_OK);
    EXPECT_EQ(atLimit.error, "The script's return value was not a video clip\n(" + TestRoot() + "/limit.avs)");
    text += "\n";
    OpenResult past = OpenScriptFile(WriteScript(text, "past.avs"));
    EXPECT_EQ(past.fileError, AVIERR_OK);
    EXPECT_EQ(past.error, "Script error: the script is too long\n(" + TestRoot() + "/past.avs)");
    EXPECT_EQ(OpenScriptText(text, "t.avs").error, "Script error: the script is too long\n(t.avs)");
}

TEST(EngineApi, SubtitleFiltersThatWereNeverRegisteredAreAnErrorNotACrash) {
    // This program does not link the subtitle filters.
    EXPECT_FALSE(HasScriptFunction("TextSub"));
    EXPECT_FALSE(HasScriptFunction("vobsub"));
    const std::string media = NumberedClip("25", 25);
    OpenResult t = OpenScriptText(Source(media) + "TextSub(\"a.srt\")\n", "t.avs");
    EXPECT_FALSE(t.script);
    EXPECT_EQ(t.error, "Script error: there is no function named \"TextSub\"\n(t.avs, line 3)");
    OpenResult v = OpenScriptText(Source(media) + "VobSub(\"a.idx\", 0)\n", "v.avs");
    EXPECT_FALSE(v.script);
    EXPECT_EQ(v.error, "Script error: there is no function named \"VobSub\"\n(v.avs, line 3)");
}

namespace {
ClipPtr Halve(const CallSite& site) {
    if (!site.Takes({""})) throw site.Invalid();
    site.NeedClip();
    return BicubicResize(site.last, site.last->Info().width / 2, site.last->Info().height / 2);
}
ClipPtr Quarter(const CallSite& site) {
    site.NeedClip();
    return BicubicResize(site.last, site.last->Info().width / 4, site.last->Info().height / 4);
}
}  // namespace

TEST(EngineApi, RegisteredFunctionsAnswerInAnyCaseAndRegisteringTwiceIsHarmless) {
    const std::string media = NumberedClip("25", 25);
    RegisterScriptFunction("KalvexTestHalve", &Halve);
    RegisterScriptFunction("KalvexTestHalve", &Halve);
    EXPECT_TRUE(HasScriptFunction("kalvextesthalve"));
    OpenResult r = OpenScriptText(Source(media) + "KALVEXTESTHALVE()\n", "h.avs");
    ASSERT_TRUE(r.script) << r.error;
    EXPECT_EQ(r.script->VideoHeader().biWidth, 80);
    EXPECT_EQ(r.script->VideoHeader().biHeight, 60);
    // The call site's errors read like the engine's own.
    EXPECT_EQ(OpenScriptText("kalvexTestHalve()\n", "n.avs").error,
              "kalvexTestHalve: there is no clip to work on\n(n.avs, line 1)");
    EXPECT_EQ(OpenScriptText(Source(media) + "KalvexTestHalve(2)\n", "i.avs").error,
              "Script error: Invalid arguments to function \"KalvexTestHalve\"\n(i.avs, line 3)");
    // The same name again (in another case) takes the newer function.
    RegisterScriptFunction("kalvextesthalve", &Quarter);
    OpenResult q = OpenScriptText(Source(media) + "KalvexTestHalve()\n", "q.avs");
    ASSERT_TRUE(q.script) << q.error;
    EXPECT_EQ(q.script->VideoHeader().biWidth, 40);
    // Nothing is registered under no name or without a function.
    RegisterScriptFunction("", &Halve);
    RegisterScriptFunction("KalvexTestNothing", nullptr);
    EXPECT_FALSE(HasScriptFunction(""));
    EXPECT_FALSE(HasScriptFunction("KalvexTestNothing"));
}

TEST(EngineApi, OpeningThroughTheEngineLeavesTheCurrentFileOfTheCallsAlone) {
    MyAVIFileInit();
    ASSERT_EQ(MyAVIFileOpen(WriteScript("NoSuchFunction()\n", "bad.avs").c_str()), 0);
    OpenResult good = OpenScriptText(Source(NumberedClip("25", 25)), "good.avs");
    ASSERT_TRUE(good.script) << good.error;
    const char* text = nullptr;
    ASSERT_NE(MyAVIFileGetError(&text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "Script error: there is no function named \"NoSuchFunction\"\n(" + TestRoot() +
                                     "/bad.avs, line 1)");
    PAVISTREAM s = nullptr;
    EXPECT_EQ(MyAVIFileGetStream(&s, streamtypeVIDEO, 0), AVIERR_NODATA);
    EXPECT_EQ(s, nullptr);
    MyAVIFileExit();
}

TEST(DirectShowSourcePlugIn, AnswersForTheRecordItIsHanded) {
    void* module = dlopen((BinDir() + "/plugins/DirectShowSource.so").c_str(), RTLD_NOW);
    ASSERT_NE(module, nullptr) << dlerror();
    auto entry = reinterpret_cast<AvsGetDARFunction>(dlsym(module, "AvsGetDAR"));
    ASSERT_NE(entry, nullptr);
    struct Case {
        unsigned size;
        int darX, darY, x, y;
    } cases[] = {
        {sizeof(KalvexAvsSource), 16, 9, 16, 9},
        {sizeof(KalvexAvsSource), 32, 18, 16, 9},       // reduced
        {sizeof(KalvexAvsSource), 1, 1, 1, 1},
        {sizeof(KalvexAvsSource), 0, 0, 0, 0},          // unknown
        {sizeof(KalvexAvsSource), 16, 0, 0, 0},         // half known is unknown
        {sizeof(KalvexAvsSource), -16, 9, 0, 0},
        {sizeof(KalvexAvsSource) - 1, 16, 9, 0, 0},     // a record too short
        {sizeof(KalvexAvsSource) + 4, 4, 3, 4, 3},      // a longer one from a newer caller
    };
    for (const Case& c : cases) {
        const KalvexAvsSource source{c.size, c.darX, c.darY};
        int x = -1, y = -1;
        entry(&source, &x, &y);
        EXPECT_EQ(x, c.x) << c.size << " " << c.darX << ":" << c.darY;
        EXPECT_EQ(y, c.y) << c.size << " " << c.darX << ":" << c.darY;
    }
    int x = -1, y = -1;
    entry(nullptr, &x, &y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    entry(nullptr, nullptr, nullptr);  // nothing to write to: nothing written
}

namespace kalvex::avs {
namespace {

// A cut hands out silence for samples outside it, whatever the buffer held
// before: past its end and before its start.
TEST(EngineApi, SoundOutsideACutIsSilence) {
    const std::string media = test::NumberedClip("25", 50);
    OpenResult r = OpenScriptText("DirectShowSource(\"" + media + "\")\nTrim(10,19)\n", "cut.avs");
    ClipPtr clip = r.Clip();
    ASSERT_TRUE(clip) << r.error;
    const int64_t n = clip->Info().sampleCount;
    const size_t ch = size_t(clip->Info().channels);
    ASSERT_GT(n, 64);
    ASSERT_GT(ch, 0u);
    std::vector<int16_t> buf(64 * ch, 0x5555);
    clip->GetAudio(buf.data(), n - 16, 64);
    EXPECT_NE(std::vector<int16_t>(buf.begin(), buf.begin() + 16 * ch), std::vector<int16_t>(16 * ch, 0x5555));
    EXPECT_EQ(std::vector<int16_t>(buf.begin() + 16 * ch, buf.end()), std::vector<int16_t>(48 * ch, 0));
    std::fill(buf.begin(), buf.end(), int16_t(0x5555));
    clip->GetAudio(buf.data(), -16, 64);
    EXPECT_EQ(std::vector<int16_t>(buf.begin(), buf.begin() + 16 * ch), std::vector<int16_t>(16 * ch, 0));
}

// A resize that changes one side only still resizes; one to the same size
// hands the clip on. Odd sizes are made even (4:2:0).
TEST(EngineApi, ResizeChangesEitherSideAlone) {
    const std::string media = test::NumberedClip("25", 5);
    struct Case {
        const char* call;
        int width, height;
    } cases[] = {{"BicubicResize(160,90)", 160, 90}, {"BicubicResize(96,120)", 96, 120},
                 {"BicubicResize(160,120)", 160, 120}, {"BicubicResize(161,91)", 160, 90}};
    for (const Case& c : cases) {
        OpenResult r = OpenScriptText("DirectShowSource(\"" + media + "\")\nConvertToYV12()\n" + c.call + "\n", "size.avs");
        ClipPtr clip = r.Clip();
        ASSERT_TRUE(clip) << r.error;
        EXPECT_EQ(clip->Info().width, c.width) << c.call;
        EXPECT_EQ(clip->Info().height, c.height) << c.call;
        FramePtr f = clip->GetFrame(2);
        ASSERT_TRUE(f) << c.call;
        EXPECT_EQ(f->width, c.width) << c.call;
        EXPECT_EQ(f->height, c.height) << c.call;
    }
}

}  // namespace
}  // namespace kalvex::avs
