// Subtitle files beside a video: the candidate search (title rule, list 1
// and list 2, the ".avi" exclusion, sorting, web lists) and the linking into
// the entry (reader order, loaded names, limits of the entry's arrays).
#include <gtest/gtest.h>

#include <QDir>
#include <cstring>

#include "common/ProgramLog.h"
#include "media/SubtitleLinker.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "samples/SubtitleSamples.h"
#include "tests/support/PageFakes.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

const char* const kSrt = "1\r\n00:00:01,000 --> 00:00:02,000\r\nHello\r\n\r\n";

std::string Folder() { return test::TestRoot() + "/v/"; }

void Put(const std::string& name, const std::string& bytes = kSrt) {
    QDir().mkpath(QString::fromStdString(Folder() + name.substr(0, name.rfind('/') + 1)));
    test::WriteFile(Folder() + name, bytes);
}

// A VobSub pair "<base>.idx"/"<base>.sub" with one picture in each listed
// slot; extra lines go after each "id:" line.
void PutVobSub(const std::string& base, int slotCount = 1, const std::string& extra = "") {
    std::string idx = samples::kIdxHeader;
    std::vector<std::uint8_t> sub;
    for (int slot = 0; slot < slotCount; ++slot) {
        std::uint64_t pos = samples::AppendSpuPacks(sub, slot, samples::MakeSpu(88, false));
        idx += "id: en, index: " + std::to_string(slot) + "\n" + extra + samples::TimestampLine(1000, pos);
    }
    Put(base + ".idx", idx);
    Put(base + ".sub", std::string(sub.begin(), sub.end()));
}

std::vector<std::string> Names(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& p : paths) out.push_back(p.substr(p.rfind('/') + 1));
    return out;
}

using Strings = std::vector<std::string>;

TEST(SubtitleSearch, ThePartsExampleFolder) {
    for (const char* n : {"Movie.avi", "Movie.srt", "movie.eng.srt"}) Put(n);
    PutVobSub("Movie");
    const Strings found = FindSubtitleFiles(Folder() + "Movie.avi", {Folder()});
    EXPECT_EQ(Names(found), (Strings{"movie.eng.srt", "Movie.idx", "Movie.srt", "Movie.sub"}));
    EXPECT_EQ(found[0], Folder() + "movie.eng.srt");

    OpenProgramLog();
    const std::string logPath = TheProgramLog()->Path();
    SubtitleLinker linker;
    linker.SetCandidates(found);
    VideoFileEntry e = test::EntryFor(Folder() + "Movie.avi");
    EXPECT_EQ(linker.LinkSubtitles(e), 3);
    CloseProgramLog();
    EXPECT_EQ(e.subtitleCount, 3);
    EXPECT_EQ(FieldText(e.subtitlePaths[0]), Folder() + "movie.eng.srt");
    EXPECT_EQ(FieldText(e.subtitlePaths[1]), Folder() + "Movie.sub");  // the pair, by its ".sub" name
    EXPECT_EQ(FieldText(e.subtitlePaths[2]), Folder() + "Movie.srt");
    EXPECT_EQ(FieldText(e.subtitlePaths[3]), "");
    EXPECT_EQ(e.streamCounts[0], 1);
    EXPECT_EQ(FieldText(e.streamNames[0][0]), "eng");
    EXPECT_EQ(FieldText(e.streamNames[1][0]), "English");
    EXPECT_EQ(e.useSubtitle, 1);
    EXPECT_EQ(e.selectedSubtitle, 0);
    // The candidate "Movie.sub" was skipped as already loaded.
    EXPECT_EQ(Names(linker.LoadedNames()),
              (Strings{"movie.eng.srt.style", "movie.eng.srt", "Movie.sub", "Movie.idx", "Movie.srt.style", "Movie.srt"}));
    EXPECT_EQ(linker.ObjectCount(), 3);

    const std::string log = test::ReadFile(logPath);
    EXPECT_NE(log.find("Sub 1, File = " + Folder() + "Movie.sub, StreamCount = 1\n  Stream 0 = English\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Sub 0, File = " + Folder() + "movie.eng.srt, StreamCount = 1\n  Stream 0 = eng\n"),
              std::string::npos);
}

TEST(SubtitleSearch, SecondListSkipsSubtitlesOfAnotherVideo) {
    Put("Movie.avi");
    Put("Movie.en.srt");
    Put("Movie.en.avi");
    Put("Movie.fr.srt");  // no "Movie.fr.avi": a language of Movie.avi
    Put("MOVIE.DE.SRT");
    EXPECT_EQ(Names(FindSubtitleFiles(Folder() + "Movie.avi", {Folder()})),
              (Strings{"MOVIE.DE.SRT", "Movie.fr.srt"}));
    // From the other video's side, its own subtitle is found by list 1.
    EXPECT_EQ(Names(FindSubtitleFiles(Folder() + "Movie.en.avi", {Folder()})), (Strings{"Movie.en.srt"}));
}

TEST(SubtitleSearch, TitlesAreTakenLiterallyAndFoldersCanBeRelative) {
    Put("[Grp] Movie.mkv");
    Put("[Grp] Movie.ass");
    Put("G Movie.ass");          // would match "[Grp] Movie" read as a wildcard class
    Put("[Grp] Movie.srt.bak");  // not a subtitle pattern
    Put("subs/[Grp] Movie.srt");
    EXPECT_EQ(Names(FindSubtitleFiles(Folder() + "[Grp] Movie.mkv", {Folder()})), (Strings{"[Grp] Movie.ass"}));
    // A relative folder is looked for inside the video's folder.
    EXPECT_EQ(FindSubtitleFiles(Folder() + "[Grp] Movie.mkv", {"./subs"}), (Strings{Folder() + "subs/[Grp] Movie.srt"}));
    // A name without an extension is its own title.
    Put("NoExt");
    Put("NoExt.srt");
    EXPECT_EQ(Names(FindSubtitleFiles(Folder() + "NoExt", {Folder()})), (Strings{"NoExt.srt"}));
}

TEST(SubtitleSearch, BareNameLooksInTheCurrentFolder) {
    Put("Bare.avi");
    Put("Bare.srt");
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(Folder())));
    const Strings found = FindSubtitleFiles("Bare.avi", {FolderOf("Bare.avi")});
    QDir::setCurrent(old);
    EXPECT_EQ(found, (Strings{"./Bare.srt"}));
}

TEST(SubtitleSearch, FolderThatCannotBeReadGivesNothing) {
    EXPECT_TRUE(FindSubtitleFiles(Folder() + "Movie.avi", {Folder() + "missing/"}).empty());
    Put("Movie.srt");
    // The readable folder still counts when an unreadable one comes first.
    EXPECT_EQ(FindSubtitleFiles(Folder() + "Movie.avi", {Folder() + "missing/", Folder()}), (Strings{Folder() + "Movie.srt"}));
    VideoFileEntry e = test::EntryFor("/no/such/folder/Movie.avi");
    EXPECT_EQ(AutoLinkOne(e), 0);
    EXPECT_EQ(e.subtitleCount, 0);
    EXPECT_EQ(e.useSubtitle, 0);
}

TEST(SubtitleSearch, WebSourceTakesTheLinesOfItsList) {
    test::DownloadTestServer local;
    ASSERT_TRUE(local.ok());
    const std::string base = local.Base();
    local.Set("/films/Movie.wse", {200, "junk line\r\n\r\n" + std::string(5000, 'z') + "\r\n\x01\x02\xff garbage\r\n" + base +
                                            "/films/b.srt\r\n" + base + "/films/a.srt\r\nftp://nowhere/x.srt\r\n"});
    local.Set("/films/a.srt", {200, kSrt});
    local.Set("/films/b.srt", {200, "not a subtitle at all"});
    const std::string video = Folder() + base + "/films/Movie.avi";
    const Strings found = FindSubtitleFiles(video, {Folder()});
    EXPECT_EQ(found, (Strings{"ftp://nowhere/x.srt", base + "/films/a.srt", base + "/films/b.srt"}));
    // Linking goes on past the candidates no reader accepts.
    SubtitleLinker linker;
    linker.SetCandidates(found);
    VideoFileEntry e = test::EntryFor(video);
    EXPECT_EQ(linker.LinkSubtitles(e), 1);
    EXPECT_EQ(FieldText(e.subtitlePaths[0]), base + "/films/a.srt");
    // "http://" at the very start is an ordinary path: no list is read.
    EXPECT_TRUE(FindSubtitleFiles(base + "/films/Movie.avi", {Folder()}).empty());
}

// The entry's fields after the subtitle arrays, filled with a pattern that
// linking must leave alone.
void Guard(VideoFileEntry& e) { std::memset(e.infoText, 0x5A, sizeof e.infoText); }
bool Guarded(const VideoFileEntry& e) {
    for (char c : e.infoText)
        if (c != 0x5A) return false;
    return true;
}

TEST(SubtitleLinking, TwentyFilesAtMost) {
    Put("Movie.avi");
    for (int i = 0; i < 25; ++i) Put("Movie." + std::string(1, char('a' + i)) + "x.srt");
    VideoFileEntry e = test::EntryFor(Folder() + "Movie.avi");
    Guard(e);
    EXPECT_EQ(AutoLinkOne(e), 20);
    EXPECT_EQ(e.subtitleCount, 20);
    EXPECT_EQ(FieldText(e.subtitlePaths[0]), Folder() + "Movie.ax.srt");
    EXPECT_EQ(FieldText(e.subtitlePaths[19]), Folder() + "Movie.tx.srt");
    EXPECT_TRUE(Guarded(e));
    // Exactly twenty: all of them.
    VideoFileEntry f = test::EntryFor(Folder() + "Movie.avi");
    SubtitleLinker linker;
    Strings twenty;
    for (int i = 0; i < 20; ++i) twenty.push_back(Folder() + "Movie." + std::string(1, char('a' + i)) + "x.srt");
    linker.SetCandidates(twenty);
    EXPECT_EQ(linker.LinkSubtitles(f), 20);
}

TEST(SubtitleLinking, TenStreamsAtMostAndLongNamesCut) {
    // Twelve slots, each with a 300-character alternative name.
    const std::string longName(300, 'n');
    PutVobSub("Many", 12, "alt: " + longName + "\n");
    VideoFileEntry e = test::EntryFor(Folder() + "Many.avi");
    Guard(e);
    SubtitleLinker linker;
    linker.SetCandidates({Folder() + "Many.idx"});
    ASSERT_EQ(linker.LinkSubtitles(e), 1);
    EXPECT_EQ(e.streamCounts[0], 10);
    for (int j = 0; j < 10; ++j) EXPECT_EQ(FieldText(e.streamNames[0][j]), std::string(259, 'n')) << j;
    EXPECT_EQ(FieldText(e.streamNames[1][0]), "");
    EXPECT_TRUE(Guarded(e));
}

// A name cut to its field never ends in half a character: with a two-byte
// character across the field's last byte, the whole character goes.
TEST(SubtitleLinking, LongNamesAreCutBetweenCharacters) {
    PutVobSub("Accent", 1, "alt: " + std::string(258, 'n') + "\xC3\xA9t\xC3\xA9\n");
    VideoFileEntry e = test::EntryFor(Folder() + "Accent.avi");
    SubtitleLinker linker;
    linker.SetCandidates({Folder() + "Accent.idx"});
    ASSERT_EQ(linker.LinkSubtitles(e), 1);
    EXPECT_EQ(FieldText(e.streamNames[0][0]), std::string(258, 'n'));
}

TEST(SubtitleLinking, RefusedFilesAreLeftOutAndOldLinksReplaced) {
    Put("Movie.avi");
    Put("Movie.srt", std::string("\x00\x01\x02\x03garbage\xff\xfe", 13));
    Put("Movie.idx", "not an index\n");
    Put("Movie.ssf", "no byte-order mark here\n");
    Put("Movie.ok.srt");
    VideoFileEntry e = test::EntryFor(Folder() + "Movie.avi");
    // Links of an earlier search are dropped.
    e.subtitleCount = 2;
    SetFieldText(e.subtitlePaths[1], "/old/gone.srt");
    e.streamCounts[1] = 4;
    e.selectedSubtitle = 1;
    e.selectedStream[1] = 3;
    EXPECT_EQ(AutoLinkOne(e), 1);
    EXPECT_EQ(FieldText(e.subtitlePaths[0]), Folder() + "Movie.ok.srt");
    EXPECT_EQ(FieldText(e.subtitlePaths[1]), "");
    EXPECT_EQ(e.streamCounts[1], 0);
    EXPECT_EQ(e.selectedSubtitle, 0);
    EXPECT_EQ(e.selectedStream[1], 0);

    // Nothing accepted at all: no subtitle, not used.
    std::remove((Folder() + "Movie.ok.srt").c_str());
    EXPECT_EQ(AutoLinkOne(e), 0);
    EXPECT_EQ(e.subtitleCount, 0);
    EXPECT_EQ(e.useSubtitle, 0);
}

TEST(SubtitleLinking, PathLongerThanTheFieldIsLeftOut) {
    // A folder deep enough that the subtitle's path needs more than 259 bytes.
    std::string deep;
    while ((Folder() + deep).size() < 250) deep += "dddddddddddddddddddd/";
    Put(deep + "Movie.srt");
    Put(deep + "Movie.en.srt");
    const std::string video = Folder() + deep + "Movie.avi";
    VideoFileEntry e = ZeroEntry();
    ASSERT_GT((Folder() + deep + "Movie.srt").size(), 259u);
    SubtitleLinker linker;
    linker.SetCandidates(FindSubtitleFiles(video, {FolderOf(video)}));
    EXPECT_EQ(linker.Candidates().size(), 2u);
    EXPECT_EQ(linker.LinkSubtitles(e), 0);
    EXPECT_EQ(e.subtitleCount, 0);
}

TEST(SubtitleLinking, OneFileWithAChosenStream) {
    PutVobSub("Two", 2);
    Put("Plain.srt");
    Put("Junk.srt", "junk");
    VideoFileEntry e = test::EntryFor(Folder() + "Two.avi");
    std::string reason;
    EXPECT_TRUE(LinkSubtitleFile(e, Folder() + "Two.idx", 1, &reason)) << reason;
    EXPECT_EQ(FieldText(e.subtitlePaths[0]), Folder() + "Two.sub");
    EXPECT_EQ(e.selectedStream[0], 1);
    EXPECT_EQ(e.useSubtitle, 1);

    EXPECT_FALSE(LinkSubtitleFile(e, Folder() + "Two.sub", 2, &reason));
    EXPECT_NE(reason.find("has no stream 2 (it has 2)"), std::string::npos) << reason;

    EXPECT_TRUE(LinkSubtitleFile(e, Folder() + "Plain.srt", 0, &reason));
    EXPECT_EQ(e.subtitleCount, 1);

    EXPECT_FALSE(LinkSubtitleFile(e, Folder() + "Junk.srt", 0, &reason));
    EXPECT_EQ(reason, "no subtitle reader accepts " + Folder() + "Junk.srt");
    EXPECT_EQ(e.subtitleCount, 0);
    EXPECT_FALSE(LinkSubtitleFile(e, Folder() + "Missing.srt", 0, &reason));
}

TEST(SubtitleLinking, FilterOfTheLoadCommand) {
    EXPECT_EQ(SubtitleFileFilter(), "Subtitle Files|*.srt;*.sub;*.smi;*.psb;*.ssa;*.ass;*.idx;*.usf;*.xss;*.txt;*.ssf||");
}

}  // namespace
}  // namespace kalvex
