// The tracks of a file and the rules that pick one: numbering per kind in
// stream order, the default sound track, choices by number and language,
// and the source playing the sound track a script names.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/Tracks.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::avs;
using namespace kalvex::test;

namespace {

std::string SubRip() {
    const std::string path = TestRoot() + "/line.srt";
    WriteFile(path, "1\n00:00:01,000 --> 00:00:02,000\nHELLO\n\n");
    return path;
}

// Three seconds of black with three sine tones as its sound tracks (440 Hz
// English, 660 Hz Japanese marked default, 880 Hz French) and two text
// subtitle tracks (English, German marked forced).
std::string ThreeTones() {
    const QString srt = QString::fromStdString(SubRip());
    return SharedMedia("three_tones.mkv",
                       {"-f", "lavfi", "-i", "color=black:s=160x120:r=25:d=3", "-f", "lavfi", "-i", "sine=f=440:d=3",
                        "-f", "lavfi", "-i", "sine=f=660:d=3", "-f", "lavfi", "-i", "sine=f=880:d=3", "-i", srt, "-i", srt,
                        "-map", "0", "-map", "1", "-map", "2", "-map", "3", "-map", "4", "-map", "5", "-c:v", "libx264",
                        "-c:a", "pcm_s16le", "-c:s", "srt", "-metadata:s:a:0", "language=eng", "-metadata:s:a:1",
                        "language=jpn", "-metadata:s:a:1", "title=Dub", "-metadata:s:a:2", "language=fre",
                        "-metadata:s:s:0", "language=eng", "-metadata:s:s:1", "language=ger", "-disposition:a:0", "0",
                        "-disposition:a:1", "default", "-disposition:a:2", "0", "-disposition:s:0", "0",
                        "-disposition:s:1", "forced"});
}

// Two sound tracks, neither marked default: 440 Hz mono first, 660 Hz
// stereo second (a "best stream" rule would take the stereo one).
std::string NoDefault() {
    return SharedMedia("no_default.mkv",
                       {"-f", "lavfi", "-i", "color=black:s=160x120:r=25:d=3", "-f", "lavfi", "-i", "sine=f=440:d=3",
                        "-f", "lavfi", "-i", "sine=f=660:d=3", "-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264",
                        "-c:a", "pcm_s16le", "-ac:a:1", "2", "-disposition:a:0", "0", "-disposition:a:1", "0"});
}

// The frequency of the first channel over one second from 0.5 s on, by
// counting the times the wave crosses zero upwards.
double ToneOf(const std::string& scriptText, std::string* error = nullptr) {
    Opened o;
    if (!o.Open(WriteScript(scriptText))) {
        if (error) *error = o.error;
        return 0;
    }
    if (!o.audio || o.format.nChannels == 0) return 0;
    const long rate = long(o.format.nSamplesPerSec);
    const std::vector<int16_t> pcm = o.Audio(rate / 2, rate);
    const int ch = o.format.nChannels;
    int ups = 0;
    for (size_t i = size_t(ch); i < pcm.size(); i += size_t(ch))
        if (pcm[i - size_t(ch)] < 0 && pcm[i] >= 0) ++ups;
    return double(ups) * double(rate) / double(pcm.size() / size_t(ch));
}

std::string Source(const std::string& path, const std::string& track = "") {
    return "DirectShowSource(\"" + path + "\"" + (track.empty() ? "" : ", " + track) + ")\nConvertToYV12()\n";
}

TrackList Synthetic() {
    TrackList t;
    auto sound = [&](const char* lang, bool def, bool decodable) {
        SoundTrack s;
        s.number = int(t.sound.size()) + 1;
        s.streamIndex = s.number;
        s.language = lang;
        s.codec = "aac";
        s.isDefault = def;
        s.decodable = decodable;
        t.sound.push_back(s);
    };
    sound("eng", false, true);
    sound("ger", true, false);  // marked default, but cannot be decoded
    sound("jpn", false, true);
    sound("deu", false, true);
    auto sub = [&](const char* lang, bool picture, bool forced, bool decodable) {
        SubtitleTrack s;
        s.number = int(t.subtitles.size()) + 1;
        s.language = lang;
        s.picture = picture;
        s.forced = forced;
        s.decodable = decodable;
        s.codec = picture ? "dvd_subtitle" : "subrip";
        t.subtitles.push_back(s);
    };
    sub("eng", false, false, true);
    sub("fre", true, false, true);
    sub("fre", true, false, false);
    return t;
}

}  // namespace

TEST(Tracks, ListedPerKindInStreamOrderWithTheirMarks) {
    const std::string file = ThreeTones();
    ASSERT_FALSE(file.empty());
    TrackList t;
    std::string error;
    ASSERT_TRUE(ReadTracks(file, &t, &error)) << error;
    ASSERT_EQ(t.sound.size(), 3u);
    ASSERT_EQ(t.subtitles.size(), 2u);
    const char* langs[] = {"eng", "jpn", "fre"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t.sound[i].number, i + 1);
        EXPECT_EQ(t.sound[i].streamIndex, i + 1);  // stream 0 is the video
        EXPECT_EQ(t.sound[i].language, langs[i]);
        EXPECT_EQ(t.sound[i].codec, "pcm_s16le");
        EXPECT_EQ(t.sound[i].channels, 1);
        EXPECT_EQ(t.sound[i].sampleRate, 44100);
        EXPECT_TRUE(t.sound[i].decodable);
        EXPECT_EQ(t.sound[i].isDefault, i == 1) << i;
    }
    EXPECT_EQ(t.sound[1].title, "Dub");
    EXPECT_EQ(t.subtitles[0].number, 1);
    EXPECT_EQ(t.subtitles[1].number, 2);
    EXPECT_EQ(t.subtitles[1].streamIndex, 5);
    EXPECT_EQ(t.subtitles[0].codec, "subrip");
    EXPECT_FALSE(t.subtitles[0].picture);
    EXPECT_FALSE(t.subtitles[0].forced);
    EXPECT_TRUE(t.subtitles[1].forced);
    EXPECT_EQ(t.subtitles[1].language, "ger");
    EXPECT_EQ(DefaultSoundTrack(t), 2);

    EXPECT_FALSE(ReadTracks(TestRoot() + "/missing.mkv", &t, &error));
    EXPECT_NE(error.find("opening the file failed"), std::string::npos) << error;
}

TEST(Tracks, DefaultIsTheFirstDecodableMarkedTrackElseTheFirstDecodable) {
    TrackList t = Synthetic();
    EXPECT_EQ(DefaultSoundTrack(t), 1);  // the marked track 2 cannot be decoded
    t.sound[3].isDefault = true;
    EXPECT_EQ(DefaultSoundTrack(t), 4);
    t.sound[2].isDefault = true;
    EXPECT_EQ(DefaultSoundTrack(t), 3);  // the first of two marked
    t.sound[0].decodable = false;
    t.sound[2].isDefault = t.sound[3].isDefault = false;
    EXPECT_EQ(DefaultSoundTrack(t), 3);
    for (auto& s : t.sound) s.decodable = false;
    EXPECT_EQ(DefaultSoundTrack(t), 0);
    EXPECT_EQ(DefaultSoundTrack(TrackList{}), 0);
}

TEST(Tracks, SoundChoiceByNumberAndLanguage) {
    const TrackList t = Synthetic();
    std::string error;
    EXPECT_EQ(PickSoundTrack(t, "1", &error), 1);
    EXPECT_EQ(PickSoundTrack(t, "4", &error), 4);  // the last one
    EXPECT_EQ(PickSoundTrack(t, "004", &error), 4);
    EXPECT_EQ(PickSoundTrack(t, "5", &error), 0);  // one past it
    EXPECT_EQ(error, "there is no sound track 5");
    EXPECT_EQ(PickSoundTrack(t, "0", &error), 0);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(PickSoundTrack(t, "2", &error), 0);
    EXPECT_NE(error.find("cannot be decoded"), std::string::npos) << error;
    EXPECT_EQ(PickSoundTrack(t, "1.5", &error), 0);
    EXPECT_EQ(PickSoundTrack(t, "", &error), 0);
    // Languages in any of their codes and any case.
    EXPECT_EQ(PickSoundTrack(t, "ja", &error), 3);
    EXPECT_EQ(PickSoundTrack(t, "JPN", &error), 3);
    EXPECT_EQ(PickSoundTrack(t, "en", &error), 1);
    // German: track 2 says "ger" but cannot be decoded; track 4 says "deu".
    EXPECT_EQ(PickSoundTrack(t, "de", &error), 4);
    EXPECT_EQ(PickSoundTrack(t, "ger", &error), 4);
    EXPECT_EQ(PickSoundTrack(t, "ita", &error), 0);
    EXPECT_EQ(error, "no sound track is in the language ita");
}

TEST(Tracks, ANumberOnePastTheLastIsRefusedNotRead) {
    // A decodable track is left in the lists' storage just behind their
    // ends (removing an element keeps the capacity, and the track's plain
    // fields keep their bytes), so a pick that wrongly reads one past the
    // end returns that number and fails here by an assertion, not a crash.
    TrackList t = Synthetic();
    t.sound.reserve(t.sound.size() + 4);
    SoundTrack extra;
    extra.number = 5;
    extra.decodable = true;
    t.sound.push_back(extra);
    t.sound.pop_back();
    t.subtitles.reserve(t.subtitles.size() + 4);
    SubtitleTrack extraSub;
    extraSub.number = 4;
    extraSub.decodable = true;
    t.subtitles.push_back(extraSub);
    t.subtitles.pop_back();
    std::string error;
    EXPECT_EQ(PickSoundTrack(t, "5", &error), 0);
    EXPECT_EQ(error, "there is no sound track 5");
    bool forced = false;
    EXPECT_EQ(PickSubtitleTrack(t, "4", &forced, &error), 0);
    EXPECT_EQ(error, "there is no subtitle track 4");
}

TEST(Tracks, SubtitleChoiceByNumberLanguageAndForced) {
    TrackList t = Synthetic();
    bool forced = true;
    std::string error;
    EXPECT_EQ(PickSubtitleTrack(t, "2", &forced, &error), 2);
    EXPECT_FALSE(forced);
    EXPECT_EQ(PickSubtitleTrack(t, "3", &forced, &error), 0);
    EXPECT_NE(error.find("cannot be drawn"), std::string::npos) << error;
    EXPECT_EQ(PickSubtitleTrack(t, "4", &forced, &error), 0);
    EXPECT_EQ(error, "there is no subtitle track 4");
    EXPECT_EQ(PickSubtitleTrack(t, "fra", &forced, &error), 2);
    EXPECT_EQ(PickSubtitleTrack(t, "EN", &forced, &error), 1);
    // No track marked forced: the first picture track, forced pictures only.
    EXPECT_EQ(PickSubtitleTrack(t, "Forced", &forced, &error), 2);
    EXPECT_TRUE(forced);
    // A decodable track marked forced wins over the picture tracks.
    t.subtitles[2].forced = true;  // not decodable: passed over
    EXPECT_EQ(PickSubtitleTrack(t, "forced", &forced, &error), 2);
    t.subtitles[0].forced = true;
    EXPECT_EQ(PickSubtitleTrack(t, "forced", &forced, &error), 1);
    EXPECT_TRUE(forced);
    EXPECT_EQ(PickSubtitleTrack(t, "1", &forced, &error), 1);
    EXPECT_FALSE(forced);  // a number never asks for forced only
    t.subtitles.resize(1);
    t.subtitles[0].forced = false;
    EXPECT_EQ(PickSubtitleTrack(t, "forced", &forced, &error), 0);
    EXPECT_EQ(error, "no subtitle track has forced subtitles");
}

TEST(Tracks, LanguageCodesOfOneLanguageAgree) {
    EXPECT_TRUE(SameLanguage("fre", "fra"));
    EXPECT_TRUE(SameLanguage("FR", "fre"));
    EXPECT_TRUE(SameLanguage("chi", "ZH"));
    EXPECT_TRUE(SameLanguage("eng", "eng"));
    EXPECT_TRUE(SameLanguage("xyz", "XYZ"));  // unknown codes compare as written
    EXPECT_FALSE(SameLanguage("eng", "en-US"));
    EXPECT_FALSE(SameLanguage("ger", "fre"));
    EXPECT_FALSE(SameLanguage("", ""));
    EXPECT_FALSE(SameLanguage("eng", ""));
}

TEST(SoundTrackSource, PlaysTheDefaultOrTheNamedTrack) {
    const std::string file = ThreeTones();
    ASSERT_FALSE(file.empty());
    EXPECT_NEAR(ToneOf(Source(file)), 660, 10);       // marked default
    EXPECT_NEAR(ToneOf(Source(file, "0")), 660, 10);  // 0 is the default too
    EXPECT_NEAR(ToneOf(Source(file, "1")), 440, 10);
    EXPECT_NEAR(ToneOf(Source(file, "2")), 660, 10);
    EXPECT_NEAR(ToneOf(Source(file, "3")), 880, 10);
}

TEST(SoundTrackSource, FirstTrackWhenNoneIsMarked) {
    const std::string file = NoDefault();
    ASSERT_FALSE(file.empty());
    EXPECT_NEAR(ToneOf(Source(file)), 440, 10);
    EXPECT_NEAR(ToneOf(Source(file, "2")), 660, 10);
}

TEST(SoundTrackSource, MissingTrackIsAnErrorNamingFileAndTrack) {
    const std::string file = ThreeTones();
    ASSERT_FALSE(file.empty());
    for (const char* track : {"4", "-1"}) {
        std::string error;
        EXPECT_EQ(ToneOf(Source(file, track), &error), 0) << track;
        EXPECT_NE(error.find("DirectShowSource"), std::string::npos) << error;
        EXPECT_NE(error.find("\"" + file + "\""), std::string::npos) << error;
        EXPECT_NE(error.find(std::string("no sound track ") + track), std::string::npos) << error;
        EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    }
    // A file without sound plays silently with no track named, but not
    // when one is.
    const std::string mute = SharedMedia("mute.mkv", {"-f", "lavfi", "-i", "color=black:s=160x120:r=25:d=1",
                                                      "-c:v", "libx264"});
    ASSERT_FALSE(mute.empty());
    {
        Opened o;
        EXPECT_TRUE(o.Open(WriteScript(Source(mute)))) << o.error;
        EXPECT_NE(o.video, nullptr);
        EXPECT_EQ(o.audio, nullptr);
    }
    std::string error;
    ToneOf(Source(mute, "1"), &error);
    EXPECT_NE(error.find("no sound track 1"), std::string::npos) << error;
    // A second argument that is not a number is refused.
    ToneOf(Source(file, "\"jpn\""), &error);
    EXPECT_NE(error.find("Invalid arguments"), std::string::npos) << error;
}
