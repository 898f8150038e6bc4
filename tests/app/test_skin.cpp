#include <gtest/gtest.h>

#include <cstdlib>

#include "app/CPellorinApp.h"
#include "common/ProgramLog.h"
#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using kalvex::test::ReadFile;

namespace {
std::string RunSkin(const char* mode, bool* loaded) {
    std::string calls = kalvex::test::TestPath("skin-calls.txt").toStdString();
    setenv("KALVEX_FAKE_SKIN_LOG", calls.c_str(), 1);
    setenv("KALVEX_FAKE_SKIN_MODE", mode, 1);
    OpenProgramLog();
    {
        CPellorinApp app;
        app.LoadSkin(FAKE_SKIN_DIR);
        *loaded = app.HasSkin();
    }
    CloseProgramLog();
    return ReadFile(calls);
}
std::string LogBody() {
    std::string text = ReadFile(AppDataFolder() + "log/Kalvex.log");
    return text.substr(text.find(")\n", text.find("S(")) + 2);
}
}  // namespace

TEST(Skin, LoadedSkinIsKeptAndReleasedAtTheEnd) {
    bool loaded = false;
    std::string calls = RunSkin("", &loaded);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(calls,
              "class 3D5D83B0-47DC-4862-93D6 00000001-0000-0000-C000\n"
              "create 5ECBCE01-3B9D-421E-B9D6\n"
              "load " FAKE_SKIN_DIR "skin/skin.xml 0\n"
              "factory released\n"
              "skin released\n");
    EXPECT_EQ(LogBody(), "");
}

TEST(Skin, RefusedLoadReleasesTheSkin) {
    bool loaded = true;
    std::string calls = RunSkin("load", &loaded);
    EXPECT_FALSE(loaded);
    EXPECT_NE(calls.find("load "), std::string::npos);
    EXPECT_EQ(calls.substr(calls.find("skin released")), "skin released\nfactory released\n");
}

TEST(Skin, FailuresAreLoggedAndTheProgramGoesOn) {
    bool loaded = true;
    RunSkin("factory", &loaded);
    EXPECT_FALSE(loaded);
    EXPECT_NE(LogBody().find("]Get Classfactory failed 2.\n[CPellorinApp.cpp,"), std::string::npos);
    std::string calls = RunSkin("create", &loaded);
    EXPECT_FALSE(loaded);
    EXPECT_NE(LogBody().find("]Query Skin face failed.\n[CPellorinApp.cpp,"), std::string::npos);
    EXPECT_NE(calls.find("factory released"), std::string::npos);
}
