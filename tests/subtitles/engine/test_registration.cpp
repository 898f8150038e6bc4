// The subtitle filters join the engine's function table when the program
// registers them, and only then; registering again changes nothing.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/Functions.h"
#include "subtitles/engine/SubtitleFilters.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::avs;
using namespace kalvex::test;

TEST(SubtitleFilterRegistration, TextSubWorksOnlyOnceRegisteredAndTwiceIsHarmless) {
    const std::string media = SharedMedia("reg_black.mkv", {"-f", "lavfi", "-i", "color=black:size=368x208:rate=25:duration=2",
                                                            "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p"});
    const std::string srt = TestRoot() + "/reg.srt";
    WriteFile(srt, "1\n00:00:00,000 --> 00:00:01,000\nHELLO HELLO\n");
    const std::string script = "DirectShowSource(\"" + media + "\")\nConvertToYV12()\nTextSub(\"" + srt + "\")\n";
    // Each test runs in a program of its own, so nothing registered them
    // before this line: the engine knows no TextSub yet.
    if (!HasScriptFunction("TextSub")) {
        OpenResult before = OpenScriptText(script, "s.avs");
        EXPECT_FALSE(before.script);
        EXPECT_EQ(before.error, "Script error: there is no function named \"TextSub\"\n(s.avs, line 3)");
    }
    // From several threads at once, and once more afterwards.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([] { RegisterSubtitleFilters(); });
    for (auto& t : threads) t.join();
    RegisterSubtitleFilters();
    EXPECT_TRUE(HasScriptFunction("textsub"));
    EXPECT_TRUE(HasScriptFunction("VOBSUB"));
    OpenResult after = OpenScriptText(script, "s.avs");
    ASSERT_TRUE(after.script) << after.error;
    // The line is drawn: bright pixels in the first second, none after it.
    auto bright = [](const std::vector<uint8_t>& f) {
        int n = 0;
        for (size_t i = 0; i < size_t(368) * 208; ++i) n += f[i] > 180;
        return n;
    };
    const auto shown = ScriptFrame(*after.script, 10);
    const auto gone = ScriptFrame(*after.script, 40);
    ASSERT_FALSE(shown.empty());
    ASSERT_FALSE(gone.empty());
    EXPECT_GT(bright(shown), 50);
    EXPECT_EQ(bright(gone), 0);
    // The filters' own errors are unchanged by the way they were added.
    EXPECT_EQ(OpenScriptText("DirectShowSource(\"" + media + "\")\nTextSub(1)\n", "a.avs").error,
              "Script error: Invalid arguments to function \"TextSub\"\n(a.avs, line 2)");
    EXPECT_EQ(OpenScriptText("VobSub(\"x.idx\", 0)\n", "b.avs").error,
              "VobSub: there is no clip to work on\n(b.avs, line 1)");
}
