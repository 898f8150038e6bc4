#include <gtest/gtest.h>

#include <sys/stat.h>

#include "platform/profile/PrivateProfile.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using kalvex::test::ReadFile;
using kalvex::test::TestPath;
using kalvex::test::WriteFile;

TEST(PrivateProfile, MissingFileAndKeysGiveDefaults) {
    std::string path = TestPath("none.ini").toStdString();
    EXPECT_EQ(GetPrivateProfileInt("General", "TvSystem", 7, path), 7);
    EXPECT_EQ(GetPrivateProfileString("PspVideo", "Fmt", "mp4", 10, path), "mp4");
    WriteFile(path, "");
    EXPECT_EQ(GetPrivateProfileInt("General", "TvSystem", -3, path), -3);
}

TEST(PrivateProfile, IntegersTakeLeadingDigitsAndNamesIgnoreCase) {
    std::string path = TestPath("a.ini").toStdString();
    WriteFile(path,
              "garbage line without equals\r\n"
              "[general]\r\n"
              " TVSYSTEM = 12abc\r\n"
              "Letters=abc\r\n"
              "Empty=\r\n"
              "Neg=-5\r\n"
              "Huge=99999999999999\r\n"
              "[Other]\r\n"
              "TvSystem=3\r\n");
    EXPECT_EQ(GetPrivateProfileInt("General", "TvSystem", 0, path), 12);
    EXPECT_EQ(GetPrivateProfileInt("GENERAL", "letters", 9, path), 0);
    EXPECT_EQ(GetPrivateProfileInt("General", "Empty", 9, path), 0);
    EXPECT_EQ(GetPrivateProfileInt("General", "Neg", 0, path), -5);
    EXPECT_EQ(GetPrivateProfileInt("General", "Huge", 0, path), 2147483647);
    EXPECT_EQ(GetPrivateProfileInt("Other", "TvSystem", 0, path), 3);
}

TEST(PrivateProfile, StringsAreUnquotedAndCutToTheBuffer) {
    std::string path = TestPath("s.ini").toStdString();
    WriteFile(path, "[PspVideo]\nFmt=\"abcdefghijklmnop\"\nfps=  29.97  \n");
    EXPECT_EQ(GetPrivateProfileString("PspVideo", "Fmt", "mp4", 10, path), "abcdefghi");
    EXPECT_EQ(GetPrivateProfileString("PspVideo", "fps", "0", 20, path), "29.97");
}

TEST(PrivateProfile, WritesCreateTheFileAndKeepOtherLines) {
    std::string path = TestPath("w.ini").toStdString();
    ASSERT_TRUE(WritePrivateProfileInt("FirstTimeRun", "FirstTimeRun", 0, path));
    EXPECT_EQ(ReadFile(path), "[FirstTimeRun]\nFirstTimeRun=0\n");

    WriteFile(path, "; my comment\n[General]\nTvSystem=1\n\n[Compress]\nAudioBitrate=192\n");
    ASSERT_TRUE(WritePrivateProfileInt("general", "tvsystem", -2, path));
    ASSERT_TRUE(WritePrivateProfileString("General", "TimeFormat", "3", path));
    ASSERT_TRUE(WritePrivateProfileString("Hint", "FullScreen", "0", path));
    EXPECT_EQ(ReadFile(path),
              "; my comment\n[General]\nTvSystem=-2\nTimeFormat=3\n\n[Compress]\nAudioBitrate=192\n"
              "[Hint]\nFullScreen=0\n");
    EXPECT_EQ(GetPrivateProfileInt("General", "TvSystem", 0, path), -2);
}

TEST(PrivateProfile, UnwritablePlacesFailWithoutDamage) {
    std::string path = TestPath("missing-folder/x.ini").toStdString();
    EXPECT_FALSE(WritePrivateProfileInt("A", "B", 1, path));
    std::string ro = TestPath("ro.ini").toStdString();
    WriteFile(ro, "[A]\nB=1\n");
    chmod(ro.c_str(), 0444);
    if (geteuid() != 0) {  // root writes through file modes
        EXPECT_FALSE(WritePrivateProfileInt("A", "B", 2, ro));
        EXPECT_EQ(ReadFile(ro), "[A]\nB=1\n");
    }
}
