// The file list: record layout, filesv2.dat reading and writing, reordering.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/ProgramLog.h"
#include "media/VideoFileEntry.h"
#include "media/VideoFileList.h"
#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"

// Every fsync() of this program comes here first, so a test can make the
// flush to the disk fail as a full or failing disk does.
static std::atomic<bool> g_failFsync{false};
extern "C" int fsync(int fd) {
    if (g_failFsync.load()) {
        errno = EIO;
        return -1;
    }
    return int(::syscall(SYS_fsync, fd));
}

namespace kalvex {
namespace {

VideoFileEntry Entry(const std::string& name, int64_t duration = 100000000) {
    VideoFileEntry e = ZeroEntry();
    EXPECT_TRUE(SetFieldText(e.fullPath, "/videos/" + name));
    EXPECT_TRUE(SetFieldText(e.fileName, name));
    std::strcpy(e.mediaInfo.videoFormat, "vids");
    std::strcpy(e.mediaInfo.audioFormat, "auds");
    e.mediaInfo.width = 320;
    e.mediaInfo.height = 240;
    e.mediaInfo.fps = 25;
    e.mediaInfo.duration = duration;
    e.mediaInfo.channels = 2;
    e.mediaInfo.sampleRate = 44100;
    e.endTime = duration;
    return e;
}

std::vector<std::string> Names(const VideoFileList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back(FieldText(list.At(i).fileName));
    return out;
}

std::string Int32Bytes(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string RecordBytes(const VideoFileEntry& e) { return std::string(reinterpret_cast<const char*>(&e), sizeof e); }

TEST(VideoFileEntryLayout, FieldsLieWhereTheFileFormatPutsThem) {
    VideoFileEntry e = ZeroEntry();
    e.startTime = 0x0102030405060708;
    e.mediaInfo.width = 0x11223344;
    e.subtitleCount = 3;
    std::strcpy(e.subtitlePaths[1], "/s.srt");
    e.streamCounts[19] = 9;
    std::strcpy(e.streamNames[1][2], "eng");
    e.selectedStream[19] = 5;
    e.useSubtitle = 1;
    std::strcpy(e.infoText, "info");
    const auto* b = reinterpret_cast<const unsigned char*>(&e);
    EXPECT_EQ(b[0], 0x08);  // little-endian
    EXPECT_EQ(b[7], 0x01);
    EXPECT_EQ(b[536 + 20], 0x44);
    EXPECT_EQ(b[600], 3);
    EXPECT_EQ(std::memcmp(b + 604 + 260, "/s.srt", 7), 0);
    EXPECT_EQ(b[5804 + 19 * 4], 9);
    EXPECT_EQ(std::memcmp(b + 5884 + (1 * 10 + 2) * 260, "eng", 4), 0);
    EXPECT_EQ(b[57888 + 19 * 4], 5);
    EXPECT_EQ(b[57968], 1);
    EXPECT_EQ(std::memcmp(b + 57972, "info", 5), 0);
}

TEST(VideoFileEntryFields, TextNeverCutAndNeverReadPastTheField) {
    VideoFileEntry e = ZeroEntry();
    EXPECT_TRUE(SetFieldText(e.fullPath, std::string(259, 'a')));
    EXPECT_EQ(FieldText(e.fullPath).size(), 259u);
    // 260 bytes do not fit with the NUL: the field keeps its old text.
    EXPECT_FALSE(SetFieldText(e.fullPath, std::string(260, 'b')));
    EXPECT_EQ(FieldText(e.fullPath), std::string(259, 'a'));
    // A field without NUL (damaged record) is read to its end only.
    std::memset(e.fileName, 'x', sizeof e.fileName);
    EXPECT_EQ(FieldText(e.fileName).size(), 260u);
}

TEST(FileListStore, WrittenListReadsBackByteForByte) {
    VideoFileList list;
    VideoFileEntry a = Entry("a.avi"), b = Entry("b.mkv", 5025000000);
    b.startTime = 10 * 10000000LL;
    b.subtitleCount = 1;
    std::strcpy(b.subtitlePaths[0], "/videos/b.srt");
    b.streamCounts[0] = 1;
    std::strcpy(b.streamNames[0][0], "English");
    b.useSubtitle = 1;
    MakeInfoText(b, 0);
    list.Append(a);
    list.Append(b);
    list.Append(a);  // the same file twice: two independent entries
    const std::string path = AppDataFolder() + "filesv2.dat";
    ASSERT_EQ(FileListPath(), path);
    ASSERT_TRUE(list.Save(path));

    const std::string bytes = test::ReadFile(path);
    ASSERT_EQ(bytes.size(), 4 + 3 * 60024u);
    EXPECT_EQ(bytes.substr(0, 4), Int32Bytes(3));
    EXPECT_EQ(bytes.substr(4 + 60024, 60024), RecordBytes(b));

    VideoFileList back;
    EXPECT_EQ(back.Load(path), 3);
    ASSERT_EQ(back.Count(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(std::memcmp(&back.At(i), &list.At(i), sizeof(VideoFileEntry)), 0) << i;
    // Writing the loaded list again gives the same file.
    ASSERT_TRUE(back.Save(path));
    EXPECT_EQ(test::ReadFile(path), bytes);
    // Loaded entries stay whole while others leave or join the list.
    back.Remove(0);
    back.Remove(1);
    back.Append(a);
    std::vector<int> sel{1};
    back.MoveUp(sel);
    EXPECT_EQ(std::memcmp(&back.At(1), &b, sizeof b), 0);
    back.At(1).startTime = 1;
    EXPECT_EQ(back.At(1).startTime, 1);

    // An empty list writes a count of 0 and nothing else.
    ASSERT_TRUE(VideoFileList().Save(path));
    EXPECT_EQ(test::ReadFile(path), Int32Bytes(0));
}

TEST(FileListStore, DamagedFilesLoadWhatIsWhole) {
    const std::string path = test::TestRoot() + "/list.dat";
    const std::string r1 = RecordBytes(Entry("one.avi")), r2 = RecordBytes(Entry("two.avi"));
    const std::string r3 = RecordBytes(Entry("three.avi"));

    // Three entries, cut inside the last record: two load.
    test::WriteFile(path, Int32Bytes(3) + r1 + r2 + r3.substr(0, 30000));
    VideoFileList cut;
    EXPECT_EQ(cut.Load(path), 2);
    EXPECT_EQ(Names(cut), (std::vector<std::string>{"one.avi", "two.avi"}));

    // A negative count: the record behind it still loads.
    test::WriteFile(path, Int32Bytes(-5) + r1);
    VideoFileList negative;
    EXPECT_EQ(negative.Load(path), 1);

    // A huge count with little data loads what is there.
    test::WriteFile(path, Int32Bytes(INT32_MAX) + r1 + r2);
    VideoFileList huge;
    EXPECT_EQ(huge.Load(path), 2);

    // Fewer bytes than a count; a missing file; an unreadable file.
    test::WriteFile(path, "\x01\x00");
    VideoFileList tiny;
    EXPECT_EQ(tiny.Load(path), 0);
    VideoFileList missing;
    EXPECT_EQ(missing.Load(test::TestRoot() + "/nothing.dat"), 0);
    test::WriteFile(path, Int32Bytes(1) + r1);
    chmod(path.c_str(), 0);
    if (access(path.c_str(), R_OK) != 0) {  // root reads anything
        VideoFileList unreadable;
        EXPECT_EQ(unreadable.Load(path), 0);
    }
    chmod(path.c_str(), 0600);

    // Loading appends to what the list holds.
    VideoFileList more;
    more.Append(Entry("first.avi"));
    EXPECT_EQ(more.Load(path), 1);
    EXPECT_EQ(Names(more), (std::vector<std::string>{"first.avi", "one.avi"}));
}

TEST(FileListStore, ACountThatDisagreesWithTheSizeLoadsEveryWholeRecord) {
    const std::string path = test::TestRoot() + "/filesv2.dat";
    const std::string records =
        RecordBytes(Entry("one.avi")) + RecordBytes(Entry("two.avi")) + RecordBytes(Entry("three.avi"));
    OpenProgramLog();
    for (int32_t count : {0, -1, INT32_MIN, 1, 2, 4, INT32_MAX}) {
        test::WriteFile(path, Int32Bytes(count) + records);
        VideoFileList list;
        EXPECT_EQ(list.Load(path), 3) << count;
        EXPECT_EQ(Names(list), (std::vector<std::string>{"one.avi", "two.avi", "three.avi"})) << count;
        // Saved again, the file is whole: the count matches the records.
        ASSERT_TRUE(list.Save(path));
        EXPECT_EQ(test::ReadFile(path), Int32Bytes(3) + records) << count;
    }
    // The count that agrees is not logged; the others are.
    const std::string log = test::ReadFile(AppDataFolder() + "log/Kalvex.log");
    EXPECT_NE(log.find(path + ": the count field says -2147483648 records, the file's " +
                       std::to_string(4 + 3 * sizeof(VideoFileEntry)) + " bytes hold 3 whole records"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("the count field says 3 records"), std::string::npos);
    CloseProgramLog();
}

TEST(FileListStore, AFifoOrAFolderInPlaceOfTheListIsIgnored) {
    const std::string path = test::TestRoot() + "/filesv2.dat";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    VideoFileList fromFifo;
    EXPECT_EQ(fromFifo.Load(path), 0);  // returns at once: nobody writes to the FIFO
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    VideoFileList fromFolder;
    EXPECT_EQ(fromFolder.Load(path), 0);
}

TEST(FileListStore, TheLastWholeFileIsKeptAsTheBackup) {
    const std::string path = test::TestRoot() + "/filesv2.dat";
    const std::string backup = FileListBackupPath(path);
    EXPECT_EQ(backup, path + ".bak");
    VideoFileList list;
    list.Append(Entry("a.avi"));
    ASSERT_TRUE(list.Save(path));
    EXPECT_EQ(access(backup.c_str(), F_OK), -1);  // nothing was there before
    const std::string first = test::ReadFile(path);
    list.Append(Entry("b.avi"));
    ASSERT_TRUE(list.Save(path));
    EXPECT_EQ(test::ReadFile(backup), first);
    // A damaged list file is replaced but does not become the backup.
    test::WriteFile(path, Int32Bytes(-1) + RecordBytes(Entry("x.avi")));
    list.Append(Entry("c.avi"));
    ASSERT_TRUE(list.Save(path));
    EXPECT_EQ(test::ReadFile(backup), first);
    // One byte short of a whole record is no whole file either.
    test::WriteFile(path, Int32Bytes(1) + RecordBytes(Entry("x.avi")).substr(1));
    ASSERT_TRUE(list.Save(path));
    EXPECT_EQ(test::ReadFile(backup), first);
    VideoFileList back;
    EXPECT_EQ(back.Load(path), 3);
}

TEST(FileListStore, TextFieldsOfADamagedRecordGetTheirEnd) {
    VideoFileEntry e = Entry("x.avi");
    std::memset(e.fullPath, 'p', sizeof e.fullPath);
    std::memset(e.infoText, 'i', sizeof e.infoText);
    const std::string path = test::TestRoot() + "/list.dat";
    test::WriteFile(path, Int32Bytes(1) + RecordBytes(e));
    VideoFileList list;
    ASSERT_EQ(list.Load(path), 1);
    EXPECT_EQ(std::strlen(list.At(0).fullPath), 259u);
    EXPECT_EQ(std::strlen(list.At(0).infoText), 2051u);
}

TEST(FileListStore, UnwritableFolderFailsAndKeepsTheOldFile) {
    VideoFileList list;
    list.Append(Entry("a.avi"));
    EXPECT_FALSE(list.Save(test::TestRoot() + "/no/such/folder/filesv2.dat"));

    const std::string path = test::TestRoot() + "/filesv2.dat";
    ASSERT_TRUE(list.Save(path));
    const std::string before = test::ReadFile(path);
    // A folder in the way of the temporary file: the old list stays intact.
    ASSERT_EQ(mkdir((path + ".new").c_str(), 0700), 0);
    list.Append(Entry("b.avi"));
    EXPECT_FALSE(list.Save(path));
    EXPECT_EQ(test::ReadFile(path), before);
}

TEST(FileListOrder, MoveUpAndDownFollowTheSelection) {
    auto fresh = [] {
        VideoFileList list;
        for (const char* n : {"1", "2", "3", "4"}) list.Append(Entry(n));
        return list;
    };
    using V = std::vector<int>;
    using N = std::vector<std::string>;

    // Rows 2 and 3 of 4 down: 1, 4, 2, 3 with the moved ones selected.
    VideoFileList list = fresh();
    V sel{1, 2};
    EXPECT_TRUE(list.MoveDown(sel));
    EXPECT_EQ(Names(list), (N{"1", "4", "2", "3"}));
    EXPECT_EQ(sel, (V{2, 3}));

    list = fresh();
    sel = {1, 2};
    EXPECT_TRUE(list.MoveUp(sel));
    EXPECT_EQ(Names(list), (N{"2", "3", "1", "4"}));
    EXPECT_EQ(sel, (V{0, 1}));

    // Rows apart move each by one.
    list = fresh();
    sel = {1, 3};
    EXPECT_TRUE(list.MoveUp(sel));
    EXPECT_EQ(Names(list), (N{"2", "1", "4", "3"}));
    EXPECT_EQ(sel, (V{0, 2}));
    list = fresh();
    sel = {0, 2};
    EXPECT_TRUE(list.MoveDown(sel));
    EXPECT_EQ(Names(list), (N{"2", "1", "4", "3"}));
    EXPECT_EQ(sel, (V{1, 3}));

    // Top row selected: nothing moves up, even though row 3 could.
    list = fresh();
    sel = {0, 2};
    EXPECT_FALSE(list.MoveUp(sel));
    EXPECT_EQ(Names(list), (N{"1", "2", "3", "4"}));
    EXPECT_EQ(sel, (V{0, 2}));
    // Bottom row selected: nothing moves down.
    sel = {1, 3};
    EXPECT_FALSE(list.MoveDown(sel));
    EXPECT_EQ(Names(list), (N{"1", "2", "3", "4"}));
    // No selection, or indices outside the list.
    sel = {};
    EXPECT_FALSE(list.MoveUp(sel));
    EXPECT_FALSE(list.MoveDown(sel));
    sel = {7};
    EXPECT_FALSE(list.MoveUp(sel));
    EXPECT_FALSE(list.MoveDown(sel));
}

TEST(FileListOrder, InsertRemoveAndCopies) {
    VideoFileList list;
    list.Append(Entry("b"));
    list.Insert(0, Entry("a"));
    list.Insert(99, Entry("d"));
    list.Insert(2, Entry("c"));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_FALSE(list.Remove(4));
    EXPECT_FALSE(list.Remove(-1));
    EXPECT_TRUE(list.Remove(1));
    // Entries() are copies; At() is the entry itself.
    std::vector<VideoFileEntry> copies = list.Entries();
    copies[0].startTime = 42;
    EXPECT_EQ(list.At(0).startTime, 0);
    list.At(0).startTime = 7;
    EXPECT_EQ(list.At(0).startTime, 7);
    list.Clear();
    EXPECT_TRUE(list.Empty());
}

TEST(InfoText, WithAndWithoutDisplayAspectRatio) {
    VideoFileEntry e = Entry("movie.avi", 100000000);
    MakeInfoText(e, 0);
    EXPECT_STREQ(e.infoText,
                 "movie.avi\n\nVideo Format = vids\n        size = 320x240\n         fps = 25.000\n"
                 "Audio Format = auds\n    Channels = 2\n  SampleRate = 44100\nMovie Length = 00:10\n");
    e.mediaInfo.darX = 16;
    e.mediaInfo.darY = 9;
    e.mediaInfo.fps = 30000.0 / 1001;
    MakeInfoText(e, 0);
    EXPECT_STREQ(e.infoText,
                 "movie.avi\n\nVideo Format = vids\n        size = 320x240\n         DAR = 16x9\n"
                 "         fps = 29.970\nAudio Format = auds\n    Channels = 2\n  SampleRate = 44100\n"
                 "Movie Length = 00:10\n");
    // One part of the ratio unknown: no DAR line.
    e.mediaInfo.darY = 0;
    MakeInfoText(e, 0);
    EXPECT_EQ(std::string(e.infoText).find("DAR"), std::string::npos);
}

}  // namespace
// A list that could not be flushed to the disk is not reported as saved,
// and the list saved before stays as it was, with no half-written file.
TEST(FileListStore, AFailedFlushToTheDiskIsNoSave) {
    VideoFileList list;
    list.Append(Entry("a.avi"));
    const std::string path = AppDataFolder() + "filesv2.dat";
    ASSERT_TRUE(list.Save(path));
    const std::string before = test::ReadFile(path);
    list.Append(Entry("b.avi"));
    g_failFsync = true;
    const bool saved = list.Save(path);
    g_failFsync = false;
    EXPECT_FALSE(saved);
    EXPECT_EQ(test::ReadFile(path), before);
    EXPECT_FALSE(std::ifstream(path + ".new").good());
    // Once the disk takes it again, the save goes through.
    EXPECT_TRUE(list.Save(path));
    VideoFileList back;
    EXPECT_EQ(back.Load(path), 2);
}

}  // namespace kalvex
