// Dropped or named paths turned into the files to add: folders expanded by
// the file dialog's filter in name order, files kept as they are, the rest
// skipped with a reason; relative names made absolute.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <algorithm>

#include "media/PathsToAdd.h"
#include "media/page/CAddFilePage.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

std::string Make(const std::string& path) {
    test::WriteFile(path, "x");
    return path;
}

std::string ReasonFor(const PathsToAdd& r, const std::string& path) {
    for (const SkippedPath& s : r.skipped)
        if (s.path == path) return s.reason;
    return "(not skipped)";
}

TEST(PathsToAdd, AFolderAddsItsVideoFilesInNameOrderAfterTheFilesBeforeIt) {
    const std::string root = test::TestRoot();
    const std::string one = Make(root + "/one.mkv");
    const std::string notes = Make(root + "/notes.txt");  // named on its own: taken as it is
    const std::string dir = root + "/clips";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(dir + "/inner.avi")));  // a folder, never entered
    for (const char* name : {"b.mkv", "a.avi", "C.MP4", "A.AVI", "readme.txt", ".hidden.avi", "noext", "x.avi.part",
                             "10.ts", "9.ts"})
        Make(dir + "/" + name);
    Make(dir + "/inner.avi/deep.avi");
    ASSERT_EQ(symlink((root + "/one.mkv").c_str(), (dir + "/linked.mov").c_str()), 0);
    ASSERT_EQ(symlink((root + "/gone.avi").c_str(), (dir + "/broken.avi").c_str()), 0);

    const PathsToAdd r = ExpandPathsToAdd({one, dir, notes, one});
    const std::vector<std::string> expected = {
        one,
        dir + "/10.ts", dir + "/9.ts",   // by name, not by number
        dir + "/A.AVI", dir + "/a.avi",  // equal but for case: by byte
        dir + "/b.mkv", dir + "/C.MP4", dir + "/linked.mov",
        notes,
        one,  // twice named, twice added: the list has no duplicate check
    };
    EXPECT_EQ(r.files, expected);
    EXPECT_TRUE(r.skipped.empty());
}

TEST(PathsToAdd, WhatIsNeitherFileNorFolderIsSkippedWithItsReason) {
    const std::string root = test::TestRoot();
    const std::string good = Make(root + "/good.avi");
    const std::string missing = root + "/missing.avi";
    const std::string fifo = root + "/pipe.avi";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string slashDir = root + "/withslash/";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(slashDir)));
    Make(slashDir + "s.avi");

    const PathsToAdd r = ExpandPathsToAdd({missing, fifo, good, slashDir});
    EXPECT_EQ(r.files, (std::vector<std::string>{good, slashDir + "s.avi"}));
    ASSERT_EQ(r.skipped.size(), 2u);
    EXPECT_EQ(ReasonFor(r, missing), "No such file or directory");
    EXPECT_EQ(ReasonFor(r, fifo), "not a file or a folder");

    // A folder that cannot be read (a root user reads any folder).
    if (geteuid() != 0) {
        const std::string locked = root + "/locked";
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(locked)));
        Make(locked + "/in.avi");
        ASSERT_EQ(chmod(locked.c_str(), 0), 0);
        const PathsToAdd l = ExpandPathsToAdd({locked});
        chmod(locked.c_str(), 0700);
        EXPECT_TRUE(l.files.empty());
        EXPECT_EQ(ReasonFor(l, locked), "the folder cannot be read: Permission denied");
    }
}

TEST(PathsToAdd, VideoNamesAreThoseOfTheFileDialogsFilterWithoutCase) {
    // The page's filter and this list are one list of extensions.
    const QString filter = QString::fromLatin1(CAddFilePage::kVideoFilter);
    const QString group = filter.section('(', 1, 1).section(')', 0, 0);
    std::vector<std::string> fromFilter;
    for (const QString& pattern : group.split(' ', Qt::SkipEmptyParts)) {
        ASSERT_TRUE(pattern.startsWith("*.")) << pattern.toStdString();
        fromFilter.push_back(pattern.mid(2).toStdString());
    }
    EXPECT_EQ(fromFilter, VideoFileExtensions());
    ASSERT_EQ(VideoFileExtensions().size(), 26u);

    for (const char* yes : {"a.avi", "A.AVI", "clip.Mkv", "x.y.rmvb", "f.3gp2", "m.M2TS"})
        EXPECT_TRUE(IsVideoFileName(yes)) << yes;
    for (const char* no : {"a.avi.txt", "avi", "a.", "a.av", "a.avii", "a.mp3", "a", ""})
        EXPECT_FALSE(IsVideoFileName(no)) << no;
}

TEST(PathsToAdd, RelativeNamesAreTakenFromTheCallersFolder) {
    EXPECT_EQ(AbsolutePath("a.avi", "/home/u"), "/home/u/a.avi");
    EXPECT_EQ(AbsolutePath("a.avi", "/home/u/"), "/home/u/a.avi");
    EXPECT_EQ(AbsolutePath("./sub//a.avi", "/home/u"), "/home/u/sub/a.avi");
    EXPECT_EQ(AbsolutePath("../a.avi", "/home/u"), "/home/u/../a.avi");  // the file system resolves ".."
    EXPECT_EQ(AbsolutePath("clips/", "/home/u"), "/home/u/clips/");
    EXPECT_EQ(AbsolutePath("/abs//x/./b.mkv", "/home/u"), "/abs/x/b.mkv");
    EXPECT_EQ(AbsolutePath("-dash.avi", "/"), "/-dash.avi");
    EXPECT_EQ(AbsolutePath(".", "/"), "/");
    // Any bytes pass through: a name need not be valid text.
    EXPECT_EQ(AbsolutePath("\xff\xfe.avi", "/d"), "/d/\xff\xfe.avi");
}

}  // namespace
}  // namespace kalvex
