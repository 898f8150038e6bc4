// The companion file of the list: the track choices survive a save and a
// load, a list rewritten by code that keeps only filesv2.dat, entries
// reordered or removed there, and a damaged file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "media/TrackStore.h"
#include "media/VideoFileList.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

VideoFileEntry Entry(const std::string& path, int64_t start = 0, int64_t end = 100000000) {
    VideoFileEntry e = ZeroEntry();
    EXPECT_TRUE(SetFieldText(e.fullPath, path));
    EXPECT_TRUE(SetFieldText(e.fileName, path.substr(path.rfind('/') + 1)));
    e.mediaInfo.fps = 25;
    e.mediaInfo.duration = 100000000;
    e.startTime = start;
    e.endTime = end;
    return e;
}

EntryTracks Tracks(int sound, int subtitle, bool forced, int subtitleTracks = 1) {
    EntryTracks t;
    t.choice = TrackChoice{sound, subtitle, forced};
    t.known = true;
    for (int n = 1; n <= 3; ++n) {
        avs::SoundTrack s;
        s.number = n;
        s.streamIndex = n;
        s.language = n == 2 ? "jpn" : "eng";
        s.codec = "aac";
        s.title = n == 2 ? "Original \"JP\" \xc3\xa9" : "";
        s.channels = 2;
        s.sampleRate = 48000;
        s.isDefault = n == 2;
        s.decodable = true;
        t.tracks.sound.push_back(s);
    }
    for (int n = 1; n <= subtitleTracks; ++n) {
        avs::SubtitleTrack s;
        s.number = n;
        s.streamIndex = 3 + n;
        s.language = "fre";
        s.codec = "hdmv_pgs_subtitle";
        s.picture = true;
        s.forced = n == 1;
        s.decodable = true;
        t.tracks.subtitles.push_back(s);
    }
    return t;
}

void ExpectSameTracks(const EntryTracks& a, const EntryTracks& b) {
    EXPECT_EQ(a.choice, b.choice);
    EXPECT_EQ(a.known, b.known);
    ASSERT_EQ(a.tracks.sound.size(), b.tracks.sound.size());
    for (size_t i = 0; i < a.tracks.sound.size(); ++i) {
        const auto &x = a.tracks.sound[i], &y = b.tracks.sound[i];
        EXPECT_EQ(x.number, y.number);
        EXPECT_EQ(x.streamIndex, y.streamIndex);
        EXPECT_EQ(x.language, y.language);
        EXPECT_EQ(x.codec, y.codec);
        EXPECT_EQ(x.title, y.title);
        EXPECT_EQ(x.channels, y.channels);
        EXPECT_EQ(x.sampleRate, y.sampleRate);
        EXPECT_EQ(x.isDefault, y.isDefault);
        EXPECT_EQ(x.decodable, y.decodable);
    }
    ASSERT_EQ(a.tracks.subtitles.size(), b.tracks.subtitles.size());
    for (size_t i = 0; i < a.tracks.subtitles.size(); ++i) {
        const auto &x = a.tracks.subtitles[i], &y = b.tracks.subtitles[i];
        EXPECT_EQ(x.number, y.number);
        EXPECT_EQ(x.streamIndex, y.streamIndex);
        EXPECT_EQ(x.language, y.language);
        EXPECT_EQ(x.codec, y.codec);
        EXPECT_EQ(x.picture, y.picture);
        EXPECT_EQ(x.forced, y.forced);
        EXPECT_EQ(x.decodable, y.decodable);
    }
}

struct Paths {
    std::string list = test::TestRoot() + "/filesv2.dat";
    std::string tracks = TrackStorePath(list);
};

// A list of four entries: two of them the same file with different trims.
void Fill(VideoFileList& list) {
    list.Append(Entry("/v/a.mkv"), Tracks(2, 0, false));
    list.Append(Entry("/v/b.mkv"), Tracks(3, 1, true));
    list.Append(Entry("/v/a.mkv", 10000000, 50000000), Tracks(1, 1, false));
    list.Append(Entry("/v/\xff\x01 odd%20name.mkv"), Tracks(0, 2, false, 200));
}

TEST(TrackStore, ChoicesAndTrackListsComeBackWithTheList) {
    const Paths p;
    EXPECT_EQ(p.tracks, test::TestRoot() + "/filesv2.tracks");
    EXPECT_EQ(TrackStorePath("/x/list"), "/x/list.tracks");
    VideoFileList list;
    Fill(list);
    ASSERT_TRUE(list.Save(p.list));
    ASSERT_TRUE(SaveTrackStore(list, p.tracks));
    // filesv2.dat is the same bytes with or without the companion.
    const std::string dat = test::ReadFile(p.list);
    EXPECT_EQ(dat.size(), 4 + 4 * sizeof(VideoFileEntry));

    VideoFileList back;
    ASSERT_EQ(back.Load(p.list), 4);
    EXPECT_EQ(LoadTrackStore(back, p.tracks), 4);
    for (int i = 0; i < 4; ++i) ExpectSameTracks(back.Tracks(i), list.Tracks(i));
    EXPECT_EQ(back.TrackChoices(), list.TrackChoices());
    EXPECT_EQ(back.Tracks(3).tracks.subtitles.size(), 200u);
}

TEST(TrackStore, AListRewrittenByAnOlderVersionKeepsEveryChoice) {
    const Paths p;
    {
        VideoFileList list;
        Fill(list);
        ASSERT_TRUE(list.Save(p.list));
        ASSERT_TRUE(SaveTrackStore(list, p.tracks));
    }
    // The older version: filesv2.dat read, an entry added, one removed and
    // the rest reordered, written back; the companion is not touched.
    {
        VideoFileList old;
        ASSERT_EQ(old.Load(p.list), 4);
        old.Append(Entry("/v/new.mkv"));
        ASSERT_TRUE(old.Remove(0));  // the first a.mkv
        std::vector<int> sel = {1};  // the second a.mkv goes to the top
        ASSERT_TRUE(old.MoveUp(sel));
        ASSERT_TRUE(old.Save(p.list));
    }
    VideoFileList back;
    ASSERT_EQ(back.Load(p.list), 4);
    EXPECT_EQ(LoadTrackStore(back, p.tracks), 3);
    ASSERT_EQ(FieldText(back.At(0).fullPath), "/v/a.mkv");
    EXPECT_EQ(back.At(0).startTime, 10000000);
    EXPECT_EQ(back.Tracks(0).choice, (TrackChoice{1, 1, false}));  // found by its trim times
    EXPECT_EQ(FieldText(back.At(1).fullPath), "/v/b.mkv");
    EXPECT_EQ(back.Tracks(1).choice, (TrackChoice{3, 1, true}));
    EXPECT_EQ(back.Tracks(2).choice, (TrackChoice{0, 2, false}));
    EXPECT_EQ(back.Tracks(2).tracks.subtitles.size(), 200u);
    EXPECT_EQ(FieldText(back.At(3).fullPath), "/v/new.mkv");
    EXPECT_EQ(back.Tracks(3).choice, TrackChoice{});
    EXPECT_FALSE(back.Tracks(3).known);

    // Saved again by this version, then loaded: the same.
    ASSERT_TRUE(SaveTrackStore(back, p.tracks));
    VideoFileList again;
    ASSERT_EQ(again.Load(p.list), 4);
    EXPECT_EQ(LoadTrackStore(again, p.tracks), 4);
    EXPECT_EQ(again.TrackChoices(), back.TrackChoices());
}

TEST(TrackStore, EqualEntriesOfOneFileFollowTheirOrderWhenTheTimesAgree) {
    const Paths p;
    VideoFileList list;
    list.Append(Entry("/v/a.mkv"), Tracks(1, 0, false));
    list.Append(Entry("/v/a.mkv"), Tracks(2, 0, false));
    list.Append(Entry("/v/a.mkv"), Tracks(3, 0, false));
    ASSERT_TRUE(list.Save(p.list));
    ASSERT_TRUE(SaveTrackStore(list, p.tracks));
    VideoFileList old;
    ASSERT_EQ(old.Load(p.list), 3);
    ASSERT_TRUE(old.Remove(2));
    ASSERT_TRUE(old.Save(p.list));
    VideoFileList back;
    ASSERT_EQ(back.Load(p.list), 2);
    EXPECT_EQ(LoadTrackStore(back, p.tracks), 2);
    EXPECT_EQ(back.Tracks(0).choice.soundTrack, 1);
    EXPECT_EQ(back.Tracks(1).choice.soundTrack, 2);
}

TEST(TrackStore, ADamagedFileFallsBackToItsBackupAndBothDamagedGiveTheDefaults) {
    const Paths p;
    const std::string backup = FileListBackupPath(p.tracks);
    VideoFileList list;
    Fill(list);
    ASSERT_TRUE(list.Save(p.list));
    ASSERT_TRUE(SaveTrackStore(list, p.tracks));
    EXPECT_NE(access(backup.c_str(), F_OK), 0);  // nothing to back up the first time
    const std::string first = test::ReadFile(p.tracks);
    list.Tracks(0).choice.soundTrack = 3;
    ASSERT_TRUE(SaveTrackStore(list, p.tracks));
    EXPECT_EQ(test::ReadFile(backup), first);

    // Cut short: not whole, the backup answers (with its older choice).
    const std::string good = test::ReadFile(p.tracks);
    test::WriteFile(p.tracks, good.substr(0, good.size() / 2));
    VideoFileList back;
    ASSERT_EQ(back.Load(p.list), 4);
    EXPECT_EQ(LoadTrackStore(back, p.tracks), 4);
    EXPECT_EQ(back.Tracks(0).choice.soundTrack, 2);
    EXPECT_EQ(back.Tracks(1).choice, (TrackChoice{3, 1, true}));

    // A damaged file does not replace the good backup at the next save.
    ASSERT_TRUE(SaveTrackStore(back, p.tracks));
    EXPECT_EQ(test::ReadFile(backup), first);

    // Both damaged (JSON of another shape, and no JSON): the defaults, the
    // list itself untouched.
    test::WriteFile(p.tracks, "{\"entries\": 5}");
    test::WriteFile(backup, std::string("\0\1\2", 3));
    VideoFileList none;
    ASSERT_EQ(none.Load(p.list), 4);
    EXPECT_EQ(LoadTrackStore(none, p.tracks), 0);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(none.Tracks(i).choice, TrackChoice{});
    EXPECT_EQ(FieldText(none.At(3).fullPath), "/v/\xff\x01 odd%20name.mkv");

    // Missing both: the same.
    unlink(p.tracks.c_str());
    unlink(backup.c_str());
    EXPECT_EQ(LoadTrackStore(none, p.tracks), 0);
}

TEST(TrackStore, DamagedRecordsAreSkippedAndBadNumbersMeanTheDefault) {
    const Paths p;
    VideoFileList list;
    list.Append(Entry("/v/a.mkv"));
    list.Append(Entry("/v/b.mkv"));
    test::WriteFile(p.tracks,
                    "{\"format\": \"Kalvex track choices\", \"version\": 1, \"entries\": ["
                    "{\"path\": \"/v/a.mkv\", \"start\": 0, \"end\": \"100000000\", \"sound\": 2},"
                    "{\"path\": \"/v/b.mkv\", \"occurrence\": 0, \"start\": \"0\", \"end\": \"100000000\","
                    " \"sound\": -4, \"subtitle\": -1, \"forced\": true, \"soundTracks\": 7},"
                    "17]}");
    EXPECT_EQ(LoadTrackStore(list, p.tracks), 1);
    EXPECT_EQ(list.Tracks(0).choice, TrackChoice{});  // its times are no text: no key
    EXPECT_EQ(list.Tracks(1).choice, TrackChoice{});
    EXPECT_TRUE(list.Tracks(1).tracks.sound.empty());
}

TEST(TrackStore, AFileThatCannotBeReplacedLeavesTheOldOneWhole) {
    const Paths p;
    VideoFileList list;
    Fill(list);
    EXPECT_FALSE(SaveTrackStore(list, test::TestRoot() + "/no/such/folder/filesv2.tracks"));
    ASSERT_TRUE(SaveTrackStore(list, p.tracks));
    const std::string before = test::ReadFile(p.tracks);
    ASSERT_EQ(mkdir((p.tracks + ".new").c_str(), 0700), 0);
    list.Tracks(0).choice.soundTrack = 1;
    EXPECT_FALSE(SaveTrackStore(list, p.tracks));
    EXPECT_EQ(test::ReadFile(p.tracks), before);
}

TEST(TrackStore, ChoicesMoveWithTheirEntries) {
    VideoFileList list;
    list.Append(Entry("/v/1.mkv"), Tracks(1, 0, false));
    list.Append(Entry("/v/2.mkv"), Tracks(2, 0, false));
    list.Append(Entry("/v/3.mkv"), Tracks(3, 0, false));
    list.Insert(0, Entry("/v/0.mkv"));
    std::vector<int> sel = {2, 3};
    ASSERT_TRUE(list.MoveUp(sel));
    // 0, 2, 3, 1
    EXPECT_EQ(FieldText(list.At(3).fullPath), "/v/1.mkv");
    EXPECT_EQ(list.Tracks(3).choice.soundTrack, 1);
    sel = {1};
    ASSERT_TRUE(list.MoveDown(sel));
    // 0, 3, 2, 1
    EXPECT_EQ(list.Tracks(1).choice.soundTrack, 3);
    EXPECT_EQ(list.Tracks(2).choice.soundTrack, 2);
    ASSERT_TRUE(list.Remove(0));
    EXPECT_EQ((std::vector<int>{list.Tracks(0).choice.soundTrack, list.Tracks(1).choice.soundTrack,
                                list.Tracks(2).choice.soundTrack}),
              (std::vector<int>{3, 2, 1}));
    list.Clear();
    list.Append(Entry("/v/x.mkv"));
    EXPECT_EQ(list.Tracks(0).choice, TrackChoice{});
}

}  // namespace
}  // namespace kalvex
