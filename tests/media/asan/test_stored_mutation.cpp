// Mutation test of the readers of the files the program keeps between runs:
// the file list (filesv2.dat), the settings (set.ini) and the registry store
// (HKCU.reg). Thousands of randomly damaged copies of a good file (fixed
// seed) go through each reader and the writes that follow a load. Built
// with AddressSanitizer and UndefinedBehaviorSanitizer, so a read past a
// buffer or undefined arithmetic fails the run; the properties each reader
// promises (values in range, a rewrite that reads back) are asserted too.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "common/AppSettings.h"
#include "media/VideoFileEntry.h"
#include "media/VideoFileList.h"
#include "platform/registry/RegistryStore.h"
#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;

namespace {

constexpr int kListCopies = 3000;
constexpr int kSettingsCopies = 4000;
constexpr int kRegistryCopies = 3000;

const char* const kTokens[] = {"\n", "\r\n", "\r", "[", "]", "=", "\"", "\\", ";", "@", ",", "-", "\x00",
                               "99999999999", "-2147483648", "2147483647", "4294967296", "1e308", "inf", "nan",
                               "-0", "0x1F", "\xEF\xBB\xBF", "\xFF\xFE", "\xE2\x82", "dword:", "hex:", "hex(2):",
                               "[HKEY_CURRENT_USER\\", "[-HKEY_CURRENT_USER\\Software]", "[PspVideo]", "Fmt=",
                               "\xFF\xFF\xFF\xFF", "\x00\x00\x00\x80", "\x01\x00\x00\x00"};

std::string Mutate(const std::string& in, std::mt19937& rng) {
    std::string s = in;
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        const size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 8) {
            case 0:  // flip a byte
                if (!s.empty()) s[pos % s.size()] = static_cast<char>(rng());
                break;
            case 1:  // insert random bytes
                s.insert(pos, std::string(1 + rng() % 4, static_cast<char>(rng())));
                break;
            case 2: {  // delete a range
                if (pos < s.size()) s.erase(pos, rng() % 64);
                break;
            }
            case 3: {  // duplicate a range
                if (s.empty()) break;
                const size_t from = rng() % s.size(), n = std::min<size_t>(rng() % 512, s.size() - from);
                s.insert(pos, s.substr(from, n));
                break;
            }
            case 4:  // truncate
                s.resize(pos);
                break;
            case 5: {  // an interesting token
                const char* t = kTokens[rng() % (sizeof kTokens / sizeof *kTokens)];
                s.insert(pos, std::string(t, t[0] == 0 ? 1 : std::strlen(t)));
                break;
            }
            case 6:  // the first bytes (a count, a header) hit harder
                if (s.size() >= 4) s[rng() % 4] = static_cast<char>(rng());
                break;
            default:  // a digit run
                s.insert(pos, std::string(1 + rng() % 12, static_cast<char>('0' + rng() % 10)));
                break;
        }
    }
    return s;
}

VideoFileEntry SampleEntry(int i) {
    VideoFileEntry e = ZeroEntry();
    SetFieldText(e.fullPath, "/videos/clip " + std::to_string(i) + ".avi");
    SetFieldText(e.fileName, "clip " + std::to_string(i) + ".avi");
    std::strcpy(e.mediaInfo.videoFormat, "XVID");
    std::strcpy(e.mediaInfo.audioFormat, "mp3");
    e.mediaInfo.width = 640;
    e.mediaInfo.height = 480;
    e.mediaInfo.fps = 25;
    e.mediaInfo.duration = 100000000;
    e.endTime = e.mediaInfo.duration;
    e.subtitleCount = 2;
    SetFieldText(e.subtitlePaths[0], "/videos/clip.srt");
    SetFieldText(e.subtitlePaths[1], "/videos/clip.sub");
    e.streamCounts[1] = 2;
    SetFieldText(e.streamNames[1][0], "English");
    SetFieldText(e.streamNames[1][1], "Deutsch");
    SetFieldText(e.infoText, InfoText(FieldText(e.fileName), e.mediaInfo, 0));
    return e;
}

}  // namespace

TEST(StoredFileMutation, ListSettingsAndRegistryReadersTakeTenThousandDamagedFiles) {
    int inputs = 0;

    // filesv2.dat: the records' text fields must come out terminated, and a
    // list that loaded must save and load back whole.
    {
        std::string good;
        VideoFileList list;
        for (int i = 0; i < 2; ++i) list.Append(SampleEntry(i));
        const std::string path = test::TestRoot() + "/filesv2.dat";
        ASSERT_TRUE(list.Save(path));
        good = test::ReadFile(path);
        std::mt19937 rng(20261208);
        for (int i = 0; i < kListCopies; ++i, ++inputs) {
            test::WriteFile(path, Mutate(good, rng));
            VideoFileList loaded;
            const int n = loaded.Load(path);
            ASSERT_GE(n, 0);
            ASSERT_LE(n, 4);  // the mutations add at most a little over one record
            for (const VideoFileEntry& e : loaded.Entries()) {
                ASSERT_LT(std::strlen(e.fullPath), sizeof e.fullPath);
                ASSERT_LT(std::strlen(e.infoText), sizeof e.infoText);
                for (const auto& names : e.streamNames)
                    for (const auto& name : names) ASSERT_LT(std::strlen(name), sizeof name);
            }
            // Saving syncs the file to the disk: every 25th list only.
            if (i % 25 != 0) continue;
            ASSERT_TRUE(loaded.Save(path));
            VideoFileList again;
            ASSERT_EQ(again.Load(path), n);
        }
    }

    // set.ini: whatever the file holds, the PSP values come out in range.
    {
        const std::string good =
            "[General]\nTvSystem=0\nTimeFormat=1\nRemoveMethod=1\nRemindNoSpace=1\nTvSystemNotified=0\n"
            "[Compress]\nVideoAutoDetect=1\nVideoBitrateConstant=4000\nVideoBitrateMaximal=9000\nAudioBitrate=192\n"
            "[AutoUpdate]\nAutoUpdate=1\n[Chapter]\nChapterInterval=5\nEnable=1\n[DVDDrive]\nSelect=0\n"
            "[FirstTimeRun]\nFirstTimeRun=0\n"
            "[PspVideo]\nfps=29.970000\nX=368\nY=208\nVideoBitrate=768\nAudioBitrate=128\nFmt=mp4\nAudioResample=48000\n"
            "[Convert]\nDestPath=/home/user/dvd-vob/\nCopyToPsp=1\nLowCpu=0\nDeleteAfterCopied=0\n";
        SetSettingsPath(test::TestRoot() + "/set.ini");
        std::mt19937 rng(8122026);
        for (int i = 0; i < kSettingsCopies; ++i, ++inputs) {
            test::WriteFile(SettingsPath(), Mutate(good, rng));
            LoadSettings();
            const ConvertSettings& c = AppSettings.convert;
            using R = ConvertSettingRanges;
            ASSERT_TRUE(c.width >= R::kMinWidth && c.width <= R::kMaxWidth) << c.width;
            ASSERT_TRUE(c.height >= R::kMinHeight && c.height <= R::kMaxHeight) << c.height;
            ASSERT_TRUE(c.fps >= 0 && c.fps <= R::kMaxFps) << c.fps;
            ASSERT_TRUE(c.videoBitrate >= R::kMinVideoBitrate && c.videoBitrate <= R::kMaxVideoBitrate);
            ASSERT_TRUE(c.audioBitrate >= R::kMinAudioBitrate && c.audioBitrate <= R::kMaxAudioBitrate);
            ASSERT_TRUE(std::strcmp(c.format, "mp4") == 0 || std::strcmp(c.format, "psp") == 0) << c.format;
            std::string refusal;
            ASSERT_LE(ReadDestPath("/default/", &refusal).size(), kMaxDestPathLength);
            if (i % 25 == 0) {  // each value written rewrites the file
                SaveConvertSettings();
                SaveSettingsOnExit();
            }
        }
        SetSettingsPath("");
    }

    // HKCU.reg: reading never fails on damage, and a value written into the
    // damaged store reads back, with the store still readable after.
    {
        const std::string good =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Kalvex]\r\n\"Email\"=\"someone@example.org\"\r\n"
            "\"UploadKey\"=\"6F9619FF-8B86-D011-B42D-00C04FC964FF\"\r\n\"Count\"=dword:0000000a\r\n"
            "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
            "  17,18,19,1a\r\n@=\"default \\\"quoted\\\" \\\\ text\"\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Harnick\\AC3Filter\\preset\\Default]\r\n\"mask\"=dword:00000005\r\n";
        const std::string path = RegistryFilePath(RegRoot::CurrentUser);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::mt19937 rng(1208);
        for (int i = 0; i < kRegistryCopies; ++i, ++inputs) {
            test::WriteFile(path, Mutate(good, rng));
            if (auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", false, false)) {
                (void)key->GetString("Email");
                (void)key->GetString("UploadKey");
                (void)key->GetDword("Count");
                (void)key->GetString("");
            }
            auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", true, true);
            ASSERT_TRUE(key);
            const std::string value = "v" + std::to_string(i);
            ASSERT_TRUE(key->SetString("Probe", value));
            ASSERT_EQ(key->GetString("Probe").value_or(""), value);
            ASSERT_TRUE(key->SetDword("Count", uint32_t(i)));
            ASSERT_EQ(key->GetDword("Count").value_or(uint32_t(-1)), uint32_t(i));
        }
    }

    EXPECT_EQ(inputs, kListCopies + kSettingsCopies + kRegistryCopies);
    EXPECT_GE(inputs, 10000);
}
