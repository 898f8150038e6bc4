#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/ProgramLog.h"
#include "platform/system/Folders.h"
#include "platform/system/SystemError.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using kalvex::test::ReadFile;

namespace {
std::string LogPath() { return AppDataFolder() + "log/Kalvex.log"; }

void WriteLines(int n, const std::string& prefix = "line ") {
    std::filesystem::create_directories(AppDataFolder() + "log");
    std::ofstream out(LogPath());
    for (int i = 1; i <= n; ++i) out << prefix << i << "\n";
}

int CountLines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

const char* kHeaderPattern =
    "^==================================================================\n"
    "Program Version: 1\\.0\\.0\\.15\n"
    "OS: Unknown \\d+\\.\\d+\\.\\d+ \n"
    "L\\(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\) S\\(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\)\n";
}  // namespace

TEST(ProgramLog, HeaderOnEveryOpening) {
    { ProgramLog log("Kalvex.log"); ASSERT_TRUE(log.IsOpen()); }
    std::string once = ReadFile(LogPath());
    EXPECT_TRUE(QRegularExpression(QString(kHeaderPattern) + "$").match(QString::fromStdString(once)).hasMatch()) << once;
    { ProgramLog log("Kalvex.log"); }
    std::string twice = ReadFile(LogPath());
    EXPECT_EQ(CountLines(twice), 8);
    EXPECT_EQ(twice.find("Program Version"), once.find("Program Version"));
    EXPECT_NE(twice.find("Program Version", once.size()), std::string::npos);
}

TEST(ProgramLog, ExactlyTheLimitIsKept) {
    WriteLines(50000);
    { ProgramLog log("Kalvex.log"); }
    std::string text = ReadFile(LogPath());
    EXPECT_EQ(text.rfind("line 1\n", 0), 0u);
    EXPECT_EQ(CountLines(text), 50000 + 4);
}

TEST(ProgramLog, OneLineOverTheLimitCutsTheOldest) {
    WriteLines(50001);
    { ProgramLog log("Kalvex.log"); }
    std::string text = ReadFile(LogPath());
    EXPECT_EQ(text.rfind("line 2\n", 0), 0u);
    EXPECT_NE(text.find("line 50001\n===="), std::string::npos);
    EXPECT_EQ(CountLines(text), 50000 + 4);
    EXPECT_FALSE(std::filesystem::exists(LogPath() + ".bak"));
}

TEST(ProgramLog, LongTextLinesCountOncePer259Characters) {
    // 49,999 short lines plus one of 600 characters = 50,002 counted lines.
    std::filesystem::create_directories(AppDataFolder() + "log");
    {
        std::ofstream out(LogPath());
        out << std::string(600, 'x') << "\n";
        for (int i = 2; i <= 50000; ++i) out << "line " << i << "\n";
    }
    { ProgramLog log("Kalvex.log"); }
    std::string text = ReadFile(LogPath());
    // The first two 259-character pieces go, the rest of the long line stays.
    EXPECT_EQ(text.rfind(std::string(600 - 518, 'x') + "\nline 2\n", 0), 0u);
}

TEST(ProgramLog, WritersAndTheirShapes) {
    OpenProgramLog();
    LogTimestamp();
    LogLine("Adding %s", "a.avi");
    LogLine("%s", std::string(5000, 'y').c_str());
    LogLongLine("%s|%s", std::string(3000, 'z').c_str(), "end");
    LogSource("/some/folder/File.cpp", 42);
    LogLine("tail");
    LogSystemError("dir/Sys.cpp", 7, ENOENT);
    CloseProgramLog();
    std::string text = ReadFile(LogPath());
    std::string body = text.substr(text.find(")\n", text.find("S(")) + 2);
    QRegularExpression stamp("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]Adding a\\.avi\n");
    EXPECT_TRUE(stamp.match(QString::fromStdString(body)).hasMatch()) << body.substr(0, 80);
    size_t y = body.find('y');
    EXPECT_EQ(body.substr(y, 1024), std::string(1023, 'y') + "\n");
    size_t z = body.find('z');
    EXPECT_EQ(body.substr(z, 1024), std::string(1023, 'z') + "\n");
    EXPECT_NE(body.find("[File.cpp,42]tail\n"), std::string::npos);
    EXPECT_NE(body.find("[Sys.cpp,7]System Error: " + SystemErrorText(ENOENT) + "\n"), std::string::npos);
}

TEST(ProgramLog, UnwritableFolderLeavesTheLogClosedAndQuiet) {
    // "log" is taken by a file, so the folder cannot be made.
    kalvex::test::WriteFile(AppDataFolder() + "log", "not a folder");
    OpenProgramLog();
    ASSERT_TRUE(TheProgramLog());
    EXPECT_FALSE(TheProgramLog()->IsOpen());
    LogTimestamp();
    LogLine("nothing %d", 1);
    LogLongLine("nothing");
    LogSource(__FILE__, 1);
    LogSystemError(__FILE__, 1, 2);
    CloseProgramLog();
    EXPECT_EQ(ReadFile(AppDataFolder() + "log"), "not a folder");
}

TEST(ProgramLog, DescribeLastErrorNamesWhatFailed) {
    SetLastError(ENOENT);
    EXPECT_EQ(DescribeLastError("Open a.avi"),
              "Open a.avi failed with error 2: " + SystemErrorText(ENOENT));
}
