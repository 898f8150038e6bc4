// Adding real files: the page examines them with the script engine.
#include <gtest/gtest.h>


#include <QTreeView>
#include <cstring>
#include <memory>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/page/CAddFilePage.h"
#include "media/ScriptBuilder.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "tests/support/Media.h"
#include "tests/support/ListRows.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

TEST(PageExamination, RealFilesAddedAndRefused) {
    AppSettings.timeFormat = 0;
    SetSettingsPath(AppDataFolder() + "set.ini");
    SetHintDialogHook([](const QString&, const QString&) { return false; });
    std::vector<QString> boxes;
    SetMessageBoxHook([&boxes](const MessageBoxRequest& r) {
        boxes.push_back(r.text);
        return IDOK;
    });
    const QString a = test::MakeClip("first clip.mp4", 2.0, 320, 240, "25");
    const QString silent = test::MakeClip("silent.mp4", 1.0, 320, 240, "25", 44100, 2, true, false);
    const QString b = test::MakeClip("second.mkv", 1.0, 176, 144, "30000/1001", 48000, 1);
    ASSERT_FALSE(a.isEmpty() || silent.isEmpty() || b.isEmpty());
    SetOpenFileDialogHook([&](const FileDialogRequest&) { return QStringList{a, silent, b}; });

    auto page = std::make_unique<CAddFilePage>();
    page->AddFiles();
    SetHintDialogHook(nullptr);

    // All three are added in dialog order, the file without sound too: its
    // movie information says that a silent track is added.
    ASSERT_EQ(page->Count(), 3);
    EXPECT_TRUE(boxes.empty()) << boxes[0].toStdString();
    const VideoFileEntry& mute = page->Entry(1);
    EXPECT_EQ(QString(mute.fullPath), silent);
    EXPECT_EQ(mute.mediaInfo.channels, 0);
    EXPECT_EQ(mute.endTime, 10000000);
    EXPECT_NE(std::string(mute.infoText).find("         fps = 25.000\nAudio Format = no sound track (a silent one is "
                                              "added)\nMovie Length = 00:01\n"),
              std::string::npos)
        << mute.infoText;
    const VideoFileEntry& first = page->Entry(0);
    EXPECT_EQ(QString(first.fullPath), a);
    EXPECT_STREQ(first.fileName, "first clip.mp4");
    EXPECT_EQ(first.mediaInfo.width, 320);
    EXPECT_EQ(first.mediaInfo.height, 240);
    EXPECT_EQ(first.mediaInfo.duration, 20000000);
    EXPECT_EQ(first.startTime, 0);
    EXPECT_EQ(first.endTime, first.mediaInfo.duration);
    EXPECT_NE(std::string(first.infoText).find("        size = 320x240\n"), std::string::npos);
    EXPECT_NE(std::string(first.infoText).find("Movie Length = 00:02\n"), std::string::npos);
    EXPECT_EQ(test::CellText(page->ListControl(), 0, 2), "00:02");
    const VideoFileEntry& second = page->Entry(2);
    EXPECT_NEAR(second.mediaInfo.fps, 30000.0 / 1001, 1e-6);
    EXPECT_EQ(second.mediaInfo.channels, 1);
    EXPECT_EQ(second.mediaInfo.sampleRate, 48000);

    // The entry's own script carries the source's exact rate.
    std::string script;
    ASSERT_TRUE(WriteScript(second, ScriptVariant::Conversion, AppSettings.convert, &script));
    EXPECT_NE(test::ReadFile(script).find("ChangeFPS(29.970030)\n"), std::string::npos);
}

}  // namespace
}  // namespace kalvex

