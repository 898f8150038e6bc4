#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using kalvex::test::TestRoot;
using kalvex::test::WriteFile;

namespace {

// A fake installed tree under the test's folder: <root>/inst/bin and
// <root>/inst/lib/kalvex.
std::string MakeTree() {
    const std::string inst = TestRoot() + "/inst";
    std::filesystem::create_directories(inst + "/bin");
    std::filesystem::create_directories(inst + "/lib/kalvex/plugins");
    return inst;
}

}  // namespace

TEST(CompanionFolder, BesideTheProgramWinsOverTheInstalledFolder) {
    const std::string inst = MakeTree();
    WriteFile(inst + "/bin/Dravel", "x");
    WriteFile(inst + "/lib/kalvex/Dravel", "x");
    EXPECT_EQ(CompanionFolder("Dravel", inst + "/bin/"), inst + "/bin/");
    // A folder given without its trailing "/" gives the same answer.
    EXPECT_EQ(CompanionFolder("Dravel", inst + "/bin"), inst + "/bin/");
    // A folder counts as a companion too (plugins/).
    std::filesystem::create_directories(inst + "/bin/plugins");
    EXPECT_EQ(CompanionFolder("plugins", inst + "/bin/"), inst + "/bin/");
}

TEST(CompanionFolder, MissingBesideTheProgramMeansTheInstalledFolder) {
    const std::string inst = MakeTree();
    WriteFile(inst + "/lib/kalvex/ac3filter.reg", "x");
    EXPECT_EQ(CompanionFolder("ac3filter.reg", inst + "/bin/"), inst + "/lib/kalvex/");
    EXPECT_EQ(CompanionFolder("ac3filter.reg", inst + "/bin"), inst + "/lib/kalvex/");
    // The folder of a module path must hold the module itself: an empty
    // plugins/ beside the program does not stop the look-up there.
    std::filesystem::create_directories(inst + "/bin/plugins");
    WriteFile(inst + "/lib/kalvex/plugins/DirectShowSource.so", "x");
    EXPECT_EQ(CompanionFolder("plugins/DirectShowSource.so", inst + "/bin/"), inst + "/lib/kalvex/");
    // Present nowhere: the installed folder is named (the caller's open then
    // fails with that path).
    EXPECT_EQ(CompanionFolder("skins.so", inst + "/bin/"), inst + "/lib/kalvex/");
}

TEST(CompanionFolder, FoldersWithoutAPlainParentStepUpLiterally) {
    EXPECT_EQ(CompanionFolder("no-such-companion", "./"), "./../lib/kalvex/");
    EXPECT_EQ(CompanionFolder("no-such-companion", "/"), "/../lib/kalvex/");
    EXPECT_EQ(CompanionFolder("no-such-companion", "bin/"), "bin/../lib/kalvex/");
}

TEST(CompanionFolder, DefaultsToTheRunningProgramsFolder) {
    const std::string app = AppFolder();
    // Test programs run with their companions linked in beside them.
    EXPECT_EQ(CompanionFolder("ac3filter.reg"), app);
    const std::string parent = std::filesystem::path(app).parent_path().parent_path().string();
    EXPECT_EQ(CompanionFolder("no-such-companion"), parent + "/lib/kalvex/");
}
