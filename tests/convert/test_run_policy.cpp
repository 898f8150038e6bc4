// How a run is wound up after it ended: what is removed after a cancel,
// where the removal stops, and what is left for the copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "convert/PspMetadata.h"
#include "convert/RunPolicy.h"
#include "platform/storage/Storage.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

std::string Touch(const std::string& name) {
    const std::string path = test::TestRoot() + "/" + name;
    std::ofstream(path) << name;
    return path;
}

FileResult Converted(const std::string& output) {
    FileResult r;
    r.outcome = FileOutcome::Converted;
    r.output = output;
    return r;
}

struct TrashHook {
    explicit TrashHook(std::function<bool(const std::string&)> hook) { storage::SetTrashHook(std::move(hook)); }
    ~TrashHook() { storage::SetTrashHook(nullptr); }
};

// After a cancel the outputs go to the trash one by one; when the trash
// refuses one, the removal ends there quietly and the later outputs stay
// where they are (the user may still want them).
TEST(WindUpRun, ATrashThatRefusesEndsTheRemovalThere) {
    const std::string a = Touch("a.mp4"), b = Touch("b.mp4"), c = Touch("c.mp4");
    RunSummary summary;
    summary.stopped = true;
    summary.files = {Converted(a), Converted(b), Converted(c)};
    std::vector<std::string> asked;
    TrashHook hook([&](const std::string& path) {
        asked.push_back(path);
        return path != b;
    });
    const WindUp w = WindUpRun(summary, true, 0);
    EXPECT_EQ(w.end, RunEnd::Cancelled);
    EXPECT_EQ(w.message, "Converting canceled.");
    EXPECT_EQ(w.removalFailure, "");
    EXPECT_EQ(asked, (std::vector<std::string>{a, b}));
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(b));
    EXPECT_TRUE(std::filesystem::exists(c));
    EXPECT_TRUE(w.toCopy.empty());
}

// Deleting for good stops at the first file that cannot be deleted and
// says which; the outputs after it stay.
TEST(WindUpRun, ADeleteThatFailsStopsAndNamesTheFile) {
    const std::string a = Touch("d1.mp4"), c = Touch("d3.mp4");
    const std::string b = test::TestRoot() + "/d2.mp4";
    std::filesystem::create_directory(b);  // a folder cannot be unlinked, not even by root
    RunSummary summary;
    summary.stopped = true;
    summary.files = {Converted(a), Converted(b), Converted(c)};
    const WindUp w = WindUpRun(summary, true, 1);
    EXPECT_EQ(w.removalFailure, "Delete file failed while trying to delete " + b + ".");
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(b));
    EXPECT_TRUE(std::filesystem::exists(c));
}

// The track choices travel beside the entries: a segment left out for its
// zero length takes its choice with it, and entries past the choices get
// the defaults.
TEST(SegmentsToConvert, EachChoiceStaysBesideItsSegment) {
    auto entry = [](int64_t start, int64_t end) {
        VideoFileEntry e = ZeroEntry();
        e.startTime = start;
        e.endTime = end;
        return e;
    };
    const std::vector<VideoFileEntry> entries = {entry(0, 10), entry(5, 5), entry(6, 5), entry(0, 1), entry(0, 1)};
    const std::vector<TrackChoice> choices = {{1, 0, false}, {2, 0, false}, {4, 0, false}, {3, 1, true}};
    std::vector<std::string> refused;
    const std::vector<VideoFileEntry> segments = SegmentsToConvert(entries, &refused);
    const std::vector<TrackChoice> kept = SegmentTrackChoices(entries, choices);
    ASSERT_EQ(kept.size(), segments.size());
    EXPECT_EQ(refused.size(), 2u);
    EXPECT_EQ(kept, (std::vector<TrackChoice>{{1, 0, false}, {3, 1, true}, {}}));
    EXPECT_EQ(SegmentTrackChoices(entries, {}).size(), 3u);
}

// What the PSP fit is told of each segment: its time after the trim, the
// rates the output will have, and its title box.
TEST(FitFilesFor, TrimmedTimesOutputRatesAndTitles) {
    VideoFileEntry whole = ZeroEntry(), cut = ZeroEntry();
    SetFieldText(whole.fileName, "whole.avi");
    SetFieldText(whole.fullPath, test::TestRoot() + "/missing/whole.avi");
    whole.endTime = 90LL * 10000000;
    whole.mediaInfo.fps = 29.97;
    whole.mediaInfo.sampleRate = 44100;
    const std::string longName(200, 'x');
    SetFieldText(cut.fileName, longName + ".mkv");
    SetFieldText(cut.fullPath, test::TestRoot() + "/missing/" + longName + ".mkv");
    cut.startTime = 25LL * 10000000 + 5000000;  // 25.5 s to 40 s
    cut.endTime = 40LL * 10000000;
    cut.mediaInfo.fps = 25;
    cut.mediaInfo.sampleRate = 48000;

    ConvertSettings keep;  // fps 0 and AudioResample 24000
    keep.audioResample = 0;
    std::vector<PspFitFile> files = FitFilesFor({whole, cut}, keep);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].duration, 90LL * 10000000);
    EXPECT_EQ(files[1].duration, 145000000);  // after the trim
    EXPECT_DOUBLE_EQ(files[0].frameRate, 29.97);
    EXPECT_EQ(files[0].sampleRate, 44100);
    EXPECT_EQ(files[1].sampleRate, 48000);
    // The title is the file title: the box is as long as the encoder's.
    EXPECT_EQ(files[0].titleBoxBytes, int64_t(PspTitleBox("whole", "2000/01/01 00:00:00").size()));
    EXPECT_EQ(files[1].titleBoxBytes - files[0].titleBoxBytes, (200 - 5) * 2);

    ConvertSettings fixed;
    fixed.fps = 15;
    fixed.audioResample = 24000;
    files = FitFilesFor({whole, cut}, fixed);
    EXPECT_DOUBLE_EQ(files[1].frameRate, 15);
    EXPECT_EQ(files[1].sampleRate, 24000);
}

}  // namespace
}  // namespace kalvex
