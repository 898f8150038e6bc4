// The progress of a run as data, and the texts both front ends show it with.
#include <gtest/gtest.h>

#include "convert/ConvertJob.h"
#include "convert/page/ProgressTexts.h"

namespace kalvex {
namespace {

ConvertProgress At(long done, long total, uint64_t elapsedMs, const char* name = "movie.avi") {
    ConvertProgress p;
    p.fileIndex = 1;
    p.fileCount = 3;
    p.fileName = name;
    FillProgressTiming(p, done, total, elapsedMs);
    return p;
}

TEST(ProgressTexts, HalfWayAfterAnHourAndMore) {
    // Half-way after 1 h 2 min 3 s.
    const ConvertProgress p = At(50, 100, 3723000);
    EXPECT_EQ(p.Percent(), 50);
    EXPECT_EQ(StatusText(p), "Converting movie.avi, 50/100, 0.01 fps");
    EXPECT_EQ(ElapsedText(p), "Elapse: 01:02:03");
    EXPECT_EQ(EstimateText(p), "Estimate: 01:02:03");
    EXPECT_EQ(FilesText(p), "Files: 2/3");
    EXPECT_EQ(TitleText(p), "50% - Converting");
}

TEST(ProgressTexts, FirstCallOfAFileShowsNoRate) {
    const ConvertProgress p = At(0, 250, 0, "a.avi");
    EXPECT_EQ(p.Percent(), 0);
    EXPECT_EQ(StatusText(p), "Converting a.avi, 0/250, 0.00 fps");
    EXPECT_EQ(ElapsedText(p), "Elapse: 00:00:00");
    EXPECT_EQ(EstimateText(p), "Estimate: 00:00:00");
    // Frames done but not a millisecond passed: still no rate.
    EXPECT_EQ(StatusText(At(3, 250, 0, "a.avi")), "Converting a.avi, 3/250, 0.00 fps");
}

TEST(ProgressTexts, RoundingTruncates) {
    // 1/3 of the frames: the percent is truncated, not rounded.
    EXPECT_EQ(At(1, 3, 1000).Percent(), 33);
    EXPECT_EQ(At(2, 3, 1000).Percent(), 66);
    EXPECT_EQ(At(299, 300, 1000).Percent(), 99);
    EXPECT_EQ(At(300, 300, 1000).Percent(), 100);
    // ms per frame truncated before it is multiplied: 1999 ms / 2 frames
    // = 999 ms (not 999.5), 2998 frames left = 2995.002 s (not 2996.501).
    EXPECT_EQ(EstimateText(At(2, 3000, 1999)), "Estimate: 00:49:55");
    // 999 ms elapsed is 0 s; 59:59 and an hour.
    EXPECT_EQ(ElapsedText(At(1, 2, 999)), "Elapse: 00:00:00");
    EXPECT_EQ(ElapsedText(At(1, 2, 3599999)), "Elapse: 00:59:59");
    EXPECT_EQ(ElapsedText(At(1, 2, 3600000)), "Elapse: 01:00:00");
    EXPECT_EQ(StatusText(At(25, 100, 1000)), "Converting movie.avi, 25/100, 25.00 fps");
    EXPECT_EQ(StatusText(At(2, 100, 3000)), "Converting movie.avi, 2/100, 0.67 fps");
}

TEST(ProgressTexts, NothingToDoIsZeroPercent) {
    EXPECT_EQ(At(0, 0, 5000).Percent(), 0);
    EXPECT_EQ(EstimateText(At(0, 0, 5000)), "Estimate: 00:00:00");
    // More done than counted never gives a negative estimate.
    EXPECT_EQ(EstimateText(At(12, 10, 5000)), "Estimate: 00:00:00");
}

// Only the two failures that have always had a box of their own get one; a
// source the engine refused without a text of its own is only logged.
TEST(ProgressTexts, FailureBoxesByKind) {
    FileResult r;
    r.source = "/v/a b.avi";
    r.failure = FailureKind::ScriptNotWritten;
    auto box = FailureBoxFor(r);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, "Generate avs file failed from /v/a b.avi!");
    EXPECT_EQ(box->caption, "Error");
    EXPECT_FALSE(box->codecPackOffer);
    r.failure = FailureKind::SourceNotOpened;
    EXPECT_FALSE(FailureBoxFor(r));
    r.failureDetail = "Open failure:\nno such file";
    box = FailureBoxFor(r);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, r.failureDetail);
    EXPECT_EQ(box->caption, "Error!");
    EXPECT_TRUE(box->codecPackOffer);
    r.failure = FailureKind::Other;
    EXPECT_FALSE(FailureBoxFor(r));
    r.failure = FailureKind::None;
    EXPECT_FALSE(FailureBoxFor(r));
}

}  // namespace
}  // namespace kalvex
