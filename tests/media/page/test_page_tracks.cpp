// The Video Files page's track choices: the "Sound track" box, the file's
// own subtitle tracks after the linked files, and the choices kept across a
// restart in the list's companion file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QTest>
#include <cstring>
#include <memory>

#include "common/AppSettings.h"
#include "common/ui/Dialogs.h"
#include "common/ui/HintOnce.h"
#include "media/TrackStore.h"
#include "media/page/CAddFilePage.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

VideoFileEntry Entry(const std::string& path) {
    VideoFileEntry e = ZeroEntry();
    EXPECT_TRUE(SetFieldText(e.fullPath, path));
    EXPECT_TRUE(SetFieldText(e.fileName, path.substr(path.rfind('/') + 1)));
    e.mediaInfo.fps = 25;
    e.mediaInfo.duration = 100000000;
    e.endTime = e.mediaInfo.duration;
    return e;
}

EntryTracks Tracks(int sound, int subtitles) {
    EntryTracks t;
    t.known = true;
    for (int n = 1; n <= sound; ++n) {
        avs::SoundTrack s;
        s.number = n;
        s.language = n == 1 ? "eng" : n == 2 ? "jpn" : "fre";
        s.codec = "aac";
        s.channels = 2;
        s.isDefault = n == 2;
        s.decodable = true;
        t.tracks.sound.push_back(s);
    }
    for (int n = 1; n <= subtitles; ++n) {
        avs::SubtitleTrack s;
        s.number = n;
        s.language = n == 2 ? "ger" : "eng";
        s.title = n == 2 ? "Signs" : "";
        s.codec = n == 2 ? "hdmv_pgs_subtitle" : "subrip";
        s.picture = n == 2;
        s.decodable = true;
        t.tracks.subtitles.push_back(s);
    }
    return t;
}

class PageTracks : public testing::Test {
protected:
    void SetUp() override {
        SetSettingsPath(AppDataFolder() + "set.ini");
        SetHintDialogHook([](const QString&, const QString&) { return true; });
        SetMessageBoxHook([](const MessageBoxRequest&) { return IDOK; });
    }
    void TearDown() override {
        page.reset();
        SetHintDialogHook(nullptr);
        SetMessageBoxHook(nullptr);
    }
    void MakePage() { page = std::make_unique<CAddFilePage>(); }
    template <class T>
    T* Control(int id) {
        return page->findChild<T*>(res::ObjectName(id));
    }
    QStringList Items(QComboBox* box) {
        QStringList out;
        for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
        return out;
    }
    // The choices the companion file on disk holds for the page's list.
    std::vector<TrackChoice> OnDisk() {
        VideoFileList list;
        for (int i = 0; i < page->Count(); ++i) list.Append(page->Entry(i));
        LoadTrackStore(list, TrackStorePath(FileListPath()));
        return list.TrackChoices();
    }

    std::unique_ptr<CAddFilePage> page;
};

TEST_F(PageTracks, SoundTrackBoxListsTheTracksAndAPickIsStoredAtOnce) {
    MakePage();
    page->InsertEntry(0, Entry("/v/three.mkv"), Tracks(3, 0));
    page->InsertEntry(1, Entry("/v/one.mkv"), Tracks(1, 0));
    QComboBox* sound = Control<QComboBox>(res::IDC_SOUND_TRACK);
    ASSERT_NE(sound, nullptr);
    EXPECT_FALSE(sound->isEnabled());  // nothing selected

    page->SelectRows({0});
    EXPECT_EQ(Items(sound), (QStringList{"1: eng, aac, 2 ch", "2: jpn, aac, 2 ch (default)", "3: fre, aac, 2 ch"}));
    EXPECT_EQ(sound->currentIndex(), 1);
    EXPECT_TRUE(sound->isEnabled());

    sound->setCurrentIndex(2);
    emit sound->activated(2);
    EXPECT_EQ(page->TrackChoiceOf(0).soundTrack, 3);
    EXPECT_EQ(page->TrackChoiceOf(1), TrackChoice{});
    // Written at once, not only at the next save of the list.
    EXPECT_EQ(OnDisk()[0].soundTrack, 3);

    // One sound track: nothing to choose.
    page->SelectRows({1});
    EXPECT_EQ(Items(sound), QStringList{"1: eng, aac, 2 ch"});
    EXPECT_FALSE(sound->isEnabled());

    page->SelectRows({0});
    EXPECT_EQ(sound->currentIndex(), 2);
    page->SelectRows({});
    EXPECT_EQ(sound->count(), 0);
    EXPECT_FALSE(sound->isEnabled());
}

TEST_F(PageTracks, EmbeddedSubtitleTracksFollowTheLinkedFilesAndComeBackAfterARestart) {
    MakePage();
    VideoFileEntry linked = Entry("/v/linked.mkv");
    linked.subtitleCount = 1;
    std::strcpy(linked.subtitlePaths[0], "/v/linked.srt");
    linked.streamCounts[0] = 1;
    std::strcpy(linked.streamNames[0][0], "Default");
    linked.useSubtitle = 1;
    page->InsertEntry(0, linked, Tracks(1, 2));
    page->InsertEntry(1, Entry("/v/inside.mkv"), Tracks(1, 2));
    page->InsertEntry(2, Entry("/v/none.mkv"), Tracks(1, 0));
    QComboBox* files = Control<QComboBox>(res::IDC_SUBTITLE_FILES);
    QComboBox* streams = Control<QComboBox>(res::IDC_SUBTITLE_STREAMS);
    QCheckBox* use = Control<QCheckBox>(res::IDC_USE_SUBTITLE);

    page->SelectRows({0});
    EXPECT_EQ(Items(files), (QStringList{"/v/linked.srt", "Track 1 (eng)", "Track 2 (ger, Signs)", "Track 2 forced only"}));
    EXPECT_EQ(files->currentIndex(), 0);
    EXPECT_EQ(Items(streams), QStringList{"Default"});

    // An entry with tracks but no linked file: the controls are on.
    page->SelectRows({1});
    EXPECT_TRUE(files->isEnabled() && streams->isEnabled() && use->isEnabled());
    EXPECT_EQ(files->currentIndex(), -1);
    files->setCurrentIndex(2);
    emit files->activated(2);
    EXPECT_EQ(page->TrackChoiceOf(1), (TrackChoice{0, 2, true}));
    EXPECT_EQ(Items(streams), QStringList{"Track 2 forced only"});
    // The stream box of a track stores nothing in the entry.
    emit streams->activated(0);
    EXPECT_EQ(page->Entry(1).selectedStream[0], 0);
    QTest::mouseClick(use, Qt::LeftButton);
    EXPECT_EQ(page->Entry(1).useSubtitle, 1);
    EXPECT_EQ(OnDisk()[1], (TrackChoice{0, 2, true}));

    // Linked entry: a track, then the file again.
    page->SelectRows({0});
    emit files->activated(1);
    EXPECT_EQ(page->TrackChoiceOf(0), (TrackChoice{0, 1, false}));
    emit files->activated(0);
    EXPECT_EQ(page->TrackChoiceOf(0), TrackChoice{});
    emit files->activated(1);

    // No subtitle anywhere: off.
    page->SelectRows({2});
    EXPECT_FALSE(files->isEnabled() || use->isEnabled());

    page.reset();  // the program ends
    MakePage();
    ASSERT_EQ(page->Count(), 3);
    EXPECT_EQ(page->TrackChoiceOf(0), (TrackChoice{0, 1, false}));
    EXPECT_EQ(page->TrackChoiceOf(1), (TrackChoice{0, 2, true}));
    EXPECT_EQ(page->TrackChoices(), (std::vector<TrackChoice>{{0, 1, false}, {0, 2, true}, {}}));
    page->SelectRows({1});
    EXPECT_EQ(Control<QComboBox>(res::IDC_SUBTITLE_FILES)->currentText(), "Track 2 forced only");
    EXPECT_TRUE(Control<QCheckBox>(res::IDC_USE_SUBTITLE)->isChecked());
}

TEST_F(PageTracks, TwoHundredSubtitleTracksAreAllListed) {
    MakePage();
    EntryTracks t = Tracks(2, 200);
    page->InsertEntry(0, Entry("/v/many.mkv"), t);
    page->SelectRows({0});
    QComboBox* files = Control<QComboBox>(res::IDC_SUBTITLE_FILES);
    ASSERT_EQ(files->count(), 201);  // 200 tracks, and track 2's forced pictures
    EXPECT_EQ(files->itemText(199), "Track 200 (eng)");
    emit files->activated(199);
    EXPECT_EQ(page->TrackChoiceOf(0).subtitleTrack, 200);
    EXPECT_EQ(OnDisk()[0].subtitleTrack, 200);
    // Out of the list: nothing.
    EXPECT_EQ(page->TrackChoiceOf(5), TrackChoice{});
    EXPECT_EQ(page->TrackChoiceOf(-1), TrackChoice{});
}

}  // namespace
}  // namespace kalvex
