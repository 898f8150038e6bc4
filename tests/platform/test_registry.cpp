#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/registry/RegistryStore.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using kalvex::test::ReadFile;
using kalvex::test::TestPath;
using kalvex::test::WriteFile;

TEST(Registry, KeysOpenOnlyWhenPresentUnlessCreated) {
    EXPECT_FALSE(RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", false, true));
    auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", true, true);
    ASSERT_TRUE(key);
    EXPECT_TRUE(key->SetString("Email", "a\"b\\c@example.org"));
    EXPECT_TRUE(key->SetDword("Count", 10));
    auto again = RegistryKey::Open(RegRoot::CurrentUser, "SOFTWARE\\kalvex", false, false);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->GetString("email").value_or(""), "a\"b\\c@example.org");
    EXPECT_EQ(again->GetDword("COUNT").value_or(0), 10u);
    EXPECT_FALSE(again->GetDword("Email"));  // wrong type
    EXPECT_FALSE(again->SetDword("X", 1));   // opened for reading only
    EXPECT_EQ(ReadFile(RegistryFilePath(RegRoot::CurrentUser)),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software]\n\n"
              "[HKEY_CURRENT_USER\\Software\\Kalvex]\n"
              "\"Email\"=\"a\\\"b\\\\c@example.org\"\n"
              "\"Count\"=dword:0000000a\n");
    EXPECT_TRUE(key->DeleteValue("Count"));
    EXPECT_FALSE(key->GetDword("Count"));
}

TEST(Registry, RootsAreSeparateFiles) {
    auto lm = RegistryKey::Open(RegRoot::LocalMachine, "Software\\Rocket Division Software\\StarBurn", true, true);
    ASSERT_TRUE(lm);
    lm->SetDword("DebugFacility", 1);
    EXPECT_FALSE(RegistryKey::Open(RegRoot::CurrentUser, "Software\\Rocket Division Software\\StarBurn", false, false));
    EXPECT_NE(ReadFile(RegistryFilePath(RegRoot::LocalMachine)).find("[HKEY_LOCAL_MACHINE\\Software\\Rocket Division Software\\StarBurn]"),
              std::string::npos);
}

TEST(Registry, StoreThatCannotBeWrittenRefusesWriteAccess) {
    setenv("KALVEX_REGISTRY_DIR", "/dev/null/registry", 1);
    EXPECT_FALSE(RegistryKey::Open(RegRoot::LocalMachine, "Software\\X", true, true));
    EXPECT_FALSE(RegistryKey::Open(RegRoot::CurrentUser, "Software\\X", false, false));
}

TEST(Registry, ImportMergesExportFiles) {
    auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Old\\Sub", true, true);
    key->SetDword("gone", 1);
    auto keep = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Keep", true, true);
    keep->SetString("a", "1");
    keep->SetString("b", "2");
    std::string file = TestPath("in.reg").toStdString();
    WriteFile(file,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[-HKEY_CURRENT_USER\\Software\\Old]\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Keep]\r\n"
              "\"a\"=-\r\n"
              "\"b\"=\"two\"\r\n"
              "\"bin\"=hex:01,02,\\\r\n  ff\r\n"
              "@=\"default\"\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\M]\r\n"
              "\"d\"=dword:FFFFFFFF\r\n");
    std::string error;
    ASSERT_TRUE(ImportRegFile(file, &error)) << error;
    EXPECT_FALSE(RegistryKey::Open(RegRoot::CurrentUser, "Software\\Old\\Sub", false, false));
    EXPECT_FALSE(RegistryKey::Open(RegRoot::CurrentUser, "Software\\Old", false, false));
    auto k = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Keep", false, false);
    EXPECT_FALSE(k->GetString("a"));
    EXPECT_EQ(k->GetString("b").value_or(""), "two");
    EXPECT_EQ(k->GetString("").value_or(""), "default");
    EXPECT_NE(ReadFile(RegistryFilePath(RegRoot::CurrentUser)).find("\"bin\"=hex:01,02,ff"), std::string::npos);
    EXPECT_EQ(RegistryKey::Open(RegRoot::LocalMachine, "Software\\M", false, false)->GetDword("d").value_or(0),
              0xFFFFFFFFu);
}

TEST(Registry, BrokenImportChangesNothing) {
    auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Keep", true, true);
    key->SetString("a", "1");
    std::string before = ReadFile(RegistryFilePath(RegRoot::CurrentUser));
    std::string file = TestPath("bad.reg").toStdString();
    WriteFile(file, "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\Keep]\n\"a\"=\"x\"\n\"b\"=dword:zz\n");
    EXPECT_FALSE(ImportRegFile(file));
    WriteFile(file, "just text\n");
    EXPECT_FALSE(ImportRegFile(file));
    EXPECT_FALSE(ImportRegFile(TestPath("missing.reg").toStdString()));
    EXPECT_EQ(ReadFile(RegistryFilePath(RegRoot::CurrentUser)), before);
}

TEST(Registry, ImportReadsUtf16ExportFiles) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\U]\r\n\"n\"=\"\xC3\xA9t\xC3\xA9\"\r\n";
    // Encode as UTF-16 LE with its byte-order mark, as the system's editor exports.
    std::u16string wide = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\U]\r\n\"n\"=\"\u00e9t\u00e9\"\r\n";
    std::string raw = "\xFF\xFE";
    for (char16_t c : wide) {
        raw += static_cast<char>(c & 0xFF);
        raw += static_cast<char>(c >> 8);
    }
    std::string file = TestPath("u.reg").toStdString();
    WriteFile(file, raw);
    ASSERT_TRUE(ImportRegFile(file));
    EXPECT_EQ(RegistryKey::Open(RegRoot::CurrentUser, "Software\\U", false, false)->GetString("n").value_or(""),
              "\xC3\xA9t\xC3\xA9");
}

TEST(Registry, LinesTheReaderDoesNotUnderstandSurviveARewrite) {
    const std::string path = RegistryFilePath(RegRoot::CurrentUser);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path,
              "Windows Registry Editor Version 5.00\r\n"
              "; a comment before the keys\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER\\Software\\Kalvex]\r\n"
              "\"Email\"=\"a@b.c\"\r\n"
              "\"UploadKey\"=\"1A2B3C4D-5E6F\r\n"           // cut in the middle of the value
              "\"Odd\"=qword:00000000000000ff\r\n"          // a type the reader does not know
              "\"Bin\"=hex:00,01,\\\r\n"                    // a continued value cut short...
              "[HKEY_CURRENT_USER\\Software\\Other]\r\n"    // ...does not swallow this key
              "\"Kept\"=dword:00000001\r\n"
              "[HKEY_CLASSES_ROOT\\.avs]\r\n"               // a root the store does not have
              "@=\"AviSynth\"\r\n"
              "[HKEY_CURRENT_USER\\Broken\r\n");
    auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", false, true);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->GetString("Email").value_or(""), "a@b.c");
    EXPECT_FALSE(key->GetString("UploadKey"));
    ASSERT_TRUE(key->SetString("UploadKey", "FRESH"));
    const std::string once = ReadFile(path);
    for (const char* line : {"; a comment before the keys\n", "\"UploadKey\"=\"1A2B3C4D-5E6F\n",
                             "\"Odd\"=qword:00000000000000ff\n", "[HKEY_CLASSES_ROOT\\.avs]\n@=\"AviSynth\"\n",
                             "[HKEY_CURRENT_USER\\Broken\n", "\"UploadKey\"=\"FRESH\"\n"})
        EXPECT_NE(once.find(line), std::string::npos) << line << "\n" << once;
    // The cut value stays in its key, the key after it keeps its value.
    EXPECT_LT(once.find("[HKEY_CURRENT_USER\\Software\\Kalvex]"), once.find("\"UploadKey\"=\"1A2B3C4D-5E6F"));
    EXPECT_EQ(RegistryKey::Open(RegRoot::CurrentUser, "Software\\Other", false, false)->GetDword("Kept").value_or(0), 1u);
    EXPECT_EQ(key->GetString("UploadKey").value_or(""), "FRESH");
    // A second rewrite changes only what was set.
    ASSERT_TRUE(key->SetString("Email", "x@y.z"));
    std::string twice = ReadFile(path);
    const std::string before = once;
    EXPECT_EQ(twice.replace(twice.find("x@y.z"), 5, "a@b.c"), before);
}

// A dword holds at most eight hex digits. A ninth is damage (a value that
// would be read cut to 32 bits): the value is not read, and an import that
// carries it changes nothing.
TEST(Registry, DwordsOfMoreThanEightDigitsAreNotRead) {
    const std::string path = RegistryFilePath(RegRoot::CurrentUser);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\Kalvex]\n"
              "\"Eight\"=dword:fffffffe\n"
              "\"Nine\"=dword:1fffffffe\n"
              "\"Padded\"=dword:000000001\n");
    auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", false, false);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->GetDword("Eight").value_or(0), 0xFFFFFFFEu);
    EXPECT_FALSE(key->GetDword("Nine"));
    EXPECT_FALSE(key->GetDword("Padded"));

    const std::string before = ReadFile(path);
    const std::string file = TestPath("nine.reg").toStdString();
    WriteFile(file, "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\Software\\Kalvex]\n"
                    "\"Count\"=dword:100000000\n");
    EXPECT_FALSE(ImportRegFile(file));
    EXPECT_EQ(ReadFile(path), before);
}
