// The sound and subtitle track choice of an entry: the script lines it
// writes, the information text's track lines, and the lists the Video Files
// page shows and what a pick in them means.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "media/ScriptBuilder.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"
#include "tests/media/EntryFixtures.h"

namespace kalvex {
namespace {

using test::Lines;

VideoFileEntry Source(const std::string& path) {
    VideoFileEntry e = test::SourceEntry(path);
    std::strcpy(e.mediaInfo.videoFormat, "vids");
    std::strcpy(e.mediaInfo.audioFormat, "auds");
    return e;
}

avs::SoundTrack Sound(int n, const std::string& lang, bool isDefault = false, const std::string& title = {}) {
    avs::SoundTrack t;
    t.number = n;
    t.streamIndex = n;
    t.language = lang;
    t.codec = "aac";
    t.title = title;
    t.channels = 2;
    t.sampleRate = 48000;
    t.isDefault = isDefault;
    t.decodable = true;
    return t;
}

avs::SubtitleTrack Sub(int n, const std::string& lang, const std::string& title = {}, bool picture = false,
                       bool forced = false) {
    avs::SubtitleTrack t;
    t.number = n;
    t.streamIndex = 10 + n;
    t.language = lang;
    t.codec = picture ? "dvd_subtitle" : "subrip";
    t.title = title;
    t.picture = picture;
    t.forced = forced;
    t.decodable = true;
    return t;
}

const ConvertSettings kDefaults{};

TEST(TrackScript, TheDefaultChoiceKeepsTheScriptAsItWasAndATrackNumberIsAddedToTheSource) {
    VideoFileEntry e = Source("/v/film.mkv");
    for (ScriptVariant v : {ScriptVariant::Conversion, ScriptVariant::Preview}) {
        const std::string plain = ScriptText(e, v, kDefaults);
        ASSERT_FALSE(plain.empty());
        EXPECT_EQ(Lines(plain).front(), "DirectShowSource(\"/v/film.mkv\")");
        // The default (0) and a damaged negative number write the old line.
        EXPECT_EQ(ScriptText(e, v, kDefaults, TrackChoice{}), plain);
        EXPECT_EQ(ScriptText(e, v, kDefaults, TrackChoice{-3, 0, false}), plain);
        // "Forced only" without a track means nothing.
        EXPECT_EQ(ScriptText(e, v, kDefaults, TrackChoice{0, 0, true}), plain);

        const std::string third = ScriptText(e, v, kDefaults, TrackChoice{3, 0, false});
        std::vector<std::string> lines = Lines(third), plainLines = Lines(plain);
        ASSERT_EQ(lines.size(), plainLines.size());
        EXPECT_EQ(lines.front(), "DirectShowSource(\"/v/film.mkv\", 3)");
        lines.erase(lines.begin());
        plainLines.erase(plainLines.begin());
        EXPECT_EQ(lines, plainLines);
        EXPECT_EQ(Lines(ScriptText(e, v, kDefaults, TrackChoice{1, 0, false})).front(),
                  "DirectShowSource(\"/v/film.mkv\", 1)");
    }
}

TEST(TrackScript, AnEmbeddedTrackTakesThePlaceOfTheLinkedFileOnlyWhenSubtitlesAreUsed) {
    VideoFileEntry e = Source("/v/film.mkv");
    std::strcpy(e.subtitlePaths[0], "/v/film.srt");
    e.subtitleCount = 1;
    e.streamCounts[0] = 1;
    e.useSubtitle = 1;
    EXPECT_EQ(Lines(ScriptText(e, ScriptVariant::Conversion, kDefaults)).back(), "TextSub(\"/v/film.srt\")");

    const std::string two = ScriptText(e, ScriptVariant::Conversion, kDefaults, TrackChoice{0, 2, false});
    EXPECT_EQ(Lines(two).back(), "EmbeddedSub(\"/v/film.mkv\", 2)");
    EXPECT_EQ(two.find("TextSub"), std::string::npos);
    // The last line keeps the subtitle line's place: after the size lines, no line break.
    EXPECT_EQ(two.substr(two.rfind("BicubicResize")), "BicubicResize(368,208)\nEmbeddedSub(\"/v/film.mkv\", 2)");
    EXPECT_EQ(Lines(ScriptText(e, ScriptVariant::Preview, kDefaults, TrackChoice{2, 1, true})).back(),
              "EmbeddedSub(\"/v/film.mkv\", 1, 1)");
    EXPECT_EQ(Lines(ScriptText(e, ScriptVariant::Preview, kDefaults, TrackChoice{2, 1, true})).front(),
              "DirectShowSource(\"/v/film.mkv\", 2)");

    // A damaged negative track burns in the linked file as before.
    EXPECT_EQ(Lines(ScriptText(e, ScriptVariant::Conversion, kDefaults, TrackChoice{0, -1, true})).back(),
              "TextSub(\"/v/film.srt\")");

    // The check box off: no subtitle at all.
    e.useSubtitle = 0;
    const std::string off = ScriptText(e, ScriptVariant::Conversion, kDefaults, TrackChoice{0, 2, false});
    EXPECT_EQ(off.find("Sub("), std::string::npos);
    EXPECT_EQ(Lines(off).back(), "BicubicResize(368,208)");

    // No linked file at all: the embedded track is the subtitle.
    VideoFileEntry bare = Source("/v/film.mkv");
    bare.useSubtitle = 1;
    EXPECT_EQ(Lines(ScriptText(bare, ScriptVariant::Conversion, kDefaults, TrackChoice{0, 200, false})).back(),
              "EmbeddedSub(\"/v/film.mkv\", 200)");
}

TEST(TrackScript, ASourcePathWithAQuoteIsWrittenTheSameWayInEveryLine) {
    VideoFileEntry e = Source("/v/say \"hi\".mkv");
    e.useSubtitle = 1;
    const std::vector<std::string> lines =
        Lines(ScriptText(e, ScriptVariant::Conversion, kDefaults, TrackChoice{2, 3, true}));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "DirectShowSource(\"\"\"/v/say \"hi\".mkv\"\"\", 2)");
    EXPECT_EQ(lines.back(), "EmbeddedSub(\"\"\"/v/say \"hi\".mkv\"\"\", 3, 1)");
}

TEST(TrackInfo, OneSoundTrackAndNoSubtitleKeepTheTextAndMoreTracksAddALineEach) {
    const VideoFileEntry e = Source("/v/film.mkv");
    const std::string base = InfoText("film.mkv", e.mediaInfo, 0);
    avs::TrackList one;
    one.sound = {Sound(1, "eng", true)};
    EXPECT_EQ(InfoText("film.mkv", e.mediaInfo, 0, one), base);
    EXPECT_EQ(InfoText("film.mkv", e.mediaInfo, 0, avs::TrackList{}), base);

    avs::TrackList three;
    three.sound = {Sound(1, "eng", false, "Main"), Sound(2, "jpn", true), Sound(3, "", false)};
    three.sound[2].channels = 0;
    three.subtitles = {Sub(1, "eng", "Signs", false, true), Sub(2, "", "", true)};
    EXPECT_EQ(InfoText("film.mkv", e.mediaInfo, 0, three),
              base +
                  "Sound track 1: eng, aac, 2 ch, \"Main\"\n"
                  "Sound track 2: jpn, aac, 2 ch (default)\n"
                  "Sound track 3: aac\n"
                  "Subtitle track 1: eng, subrip, \"Signs\" (forced)\n"
                  "Subtitle track 2: dvd_subtitle\n");
    // One sound track with a subtitle track lists both.
    avs::TrackList withSub;
    withSub.sound = {Sound(1, "eng")};
    withSub.subtitles = {Sub(1, "fre")};
    EXPECT_EQ(InfoText("film.mkv", e.mediaInfo, 0, withSub),
              base + "Sound track 1: eng, aac, 2 ch\nSubtitle track 1: fre, subrip\n");
}

TEST(TrackInfo, ManyTracksAreCutWithADotLineInsideTheStoredField) {
    VideoFileEntry e = Source("/v/film.mkv");
    avs::TrackList many;
    many.sound = {Sound(1, "eng")};
    for (int n = 1; n <= 200; ++n) many.subtitles.push_back(Sub(n, "eng", "Title " + std::to_string(n)));
    const std::string text = InfoText("film.mkv", e.mediaInfo, 0, many);
    EXPECT_LE(text.size(), size_t(kInfoTextSize - 1));
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), "...\n");
    // Every line before the dots is whole.
    const std::vector<std::string> lines = Lines(text);
    EXPECT_EQ(lines[lines.size() - 2].rfind("Subtitle track ", 0), 0u);
    EXPECT_EQ(lines[lines.size() - 2].back(), '"');
    MakeInfoText(e, 0, many);
    EXPECT_EQ(FieldText(e.infoText), text);
    EXPECT_EQ(e.infoText[kInfoTextSize - 1], '\0');
}

TEST(TrackInfo, LinesFillTheLimitExactlyAndTheDotsNeedTheirRoom) {
    const std::vector<std::string> lines = {"aaaa", "bbbb"};
    // "x\n" + "aaaa\n" + "bbbb\n" = 12 bytes: fits exactly.
    EXPECT_EQ(AppendLinesWithin("x\n", lines, 12), "x\naaaa\nbbbb\n");
    // One byte less: the last line goes, "..." takes its place.
    EXPECT_EQ(AppendLinesWithin("x\n", lines, 11), "x\naaaa\n...\n");
    // The first line fits only without room for the dots after it.
    EXPECT_EQ(AppendLinesWithin("x\n", lines, 10), "x\n...\n");
    EXPECT_EQ(AppendLinesWithin("x\n", lines, 6), "x\n...\n");
    // Not even the dots fit: nothing is added.
    EXPECT_EQ(AppendLinesWithin("x\n", lines, 5), "x\n");
    EXPECT_EQ(AppendLinesWithin("x\n", {}, 2), "x\n");
}

TEST(TrackMenuSound, ItemsShowEachTrackAndTheDefaultIsTheFilesMarkElseTheFirst) {
    avs::TrackList t;
    t.sound = {Sound(1, "eng"), Sound(2, "jpn", true, "Original"), Sound(3, "fre")};
    EXPECT_EQ(TrackMenu::SoundItems(t), (std::vector<std::string>{"1: eng, aac, 2 ch", "2: jpn, aac, 2 ch, \"Original\" (default)",
                                                               "3: fre, aac, 2 ch"}));
    EXPECT_EQ(TrackMenu::SoundIndex(t, {}), 1);
    EXPECT_EQ(TrackMenu::SoundIndex(t, TrackChoice{3, 0, false}), 2);
    // A stored choice the file no longer has shows nothing chosen.
    EXPECT_EQ(TrackMenu::SoundIndex(t, TrackChoice{4, 0, false}), -1);
    EXPECT_TRUE(TrackMenu::SoundChoiceEnabled(t));

    t.sound[1].isDefault = false;
    EXPECT_EQ(TrackMenu::SoundIndex(t, {}), 0);
    TrackChoice c;
    EXPECT_TRUE(TrackMenu::PickSound(t, 2, c));
    EXPECT_EQ(c.soundTrack, 3);
    EXPECT_FALSE(TrackMenu::PickSound(t, 3, c));
    EXPECT_FALSE(TrackMenu::PickSound(t, -1, c));
    EXPECT_EQ(c.soundTrack, 3);

    avs::TrackList single;
    single.sound = {Sound(1, "eng")};
    EXPECT_FALSE(TrackMenu::SoundChoiceEnabled(single));
    EXPECT_FALSE(TrackMenu::SoundChoiceEnabled(avs::TrackList{}));
    EXPECT_EQ(TrackMenu::SoundIndex(avs::TrackList{}, {}), -1);
}

TEST(TrackMenuSubtitles, LinkedFilesThenTracksThenForcedOnlyAndWhatAPickMeans) {
    VideoFileEntry e = Source("/v/film.mkv");
    std::strcpy(e.subtitlePaths[0], "/v/film.srt");
    std::strcpy(e.subtitlePaths[1], "/v/film.sub");
    e.subtitleCount = 2;
    e.streamCounts[1] = 2;
    std::strcpy(e.streamNames[1][0], "English");
    std::strcpy(e.streamNames[1][1], "German");
    e.selectedStream[1] = 1;
    e.selectedSubtitle = 1;
    avs::TrackList t;
    t.subtitles = {Sub(1, "eng", "Signs"), Sub(2, "eng"), Sub(3, ""), Sub(4, "ger", "", true), Sub(5, "fre", "", false, true),
                   Sub(6, "spa")};
    t.subtitles[5].decodable = false;  // no decoder: not offered
    const auto items = TrackMenu::SubtitleItems(e, t);
    std::vector<std::string> texts;
    for (const auto& i : items) texts.push_back(i.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"/v/film.srt", "/v/film.sub", "Track 1 (eng, Signs)", "Track 2 (eng)",
                                               "Track 3", "Track 4 (ger)", "Track 5 (fre)", "Track 4 forced only",
                                               "Track 5 forced only"}));

    TrackChoice c;
    EXPECT_EQ(TrackMenu::SubtitleIndex(items, e, c), 1);
    EXPECT_EQ(TrackMenu::StreamItems(items[1], e, t), (std::vector<std::string>{"English", "German"}));

    // A track: the embedded choice, the linked file's choice untouched.
    ASSERT_TRUE(TrackMenu::PickSubtitle(items, 7, e, c));
    EXPECT_EQ(c, (TrackChoice{0, 4, true}));
    EXPECT_EQ(e.selectedSubtitle, 1);
    EXPECT_EQ(TrackMenu::SubtitleIndex(items, e, c), 7);
    EXPECT_EQ(TrackMenu::StreamItems(items[7], e, t), (std::vector<std::string>{"Track 4 forced only"}));
    ASSERT_TRUE(TrackMenu::PickSubtitle(items, 5, e, c));
    EXPECT_EQ(c, (TrackChoice{0, 4, false}));
    EXPECT_EQ(TrackMenu::SubtitleIndex(items, e, c), 5);

    // A linked file again: the embedded choice is dropped.
    c.soundTrack = 2;
    ASSERT_TRUE(TrackMenu::PickSubtitle(items, 0, e, c));
    EXPECT_EQ(c, (TrackChoice{2, 0, false}));
    EXPECT_EQ(e.selectedSubtitle, 0);
    EXPECT_FALSE(TrackMenu::PickSubtitle(items, int(items.size()), e, c));
    EXPECT_FALSE(TrackMenu::PickSubtitle(items, -1, e, c));
    EXPECT_EQ(e.selectedSubtitle, 0);

    // A chosen track the file no longer lists shows nothing chosen.
    EXPECT_EQ(TrackMenu::SubtitleIndex(items, e, TrackChoice{0, 6, false}), -1);
}

TEST(TrackMenuSubtitles, ControlsAreOnWithAFileOrATrackAndAnEmbeddedChoiceIsASubtitle) {
    VideoFileEntry e = Source("/v/film.mkv");
    avs::TrackList t;
    EXPECT_FALSE(TrackMenu::SubtitleChoiceEnabled(e, t));
    EXPECT_FALSE(HasSubtitle(e, {}));
    t.subtitles = {Sub(1, "eng")};
    t.subtitles[0].decodable = false;
    EXPECT_FALSE(TrackMenu::SubtitleChoiceEnabled(e, t));
    t.subtitles[0].decodable = true;
    EXPECT_TRUE(TrackMenu::SubtitleChoiceEnabled(e, t));
    EXPECT_TRUE(HasSubtitle(e, TrackChoice{0, 1, false}));
    EXPECT_FALSE(HasSubtitle(e, TrackChoice{3, -1, false}));
    e.subtitleCount = 1;
    EXPECT_TRUE(TrackMenu::SubtitleChoiceEnabled(e, avs::TrackList{}));
    EXPECT_TRUE(HasSubtitle(e, {}));
    // A damaged count never reads past the arrays.
    e.subtitleCount = 1000;
    EXPECT_EQ(TrackMenu::SubtitleItems(e, avs::TrackList{}).size(), size_t(kMaxSubtitleFiles));
}

}  // namespace
}  // namespace kalvex
