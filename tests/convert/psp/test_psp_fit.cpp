// The rule that fits a batch onto the PSP's free space: the estimate of
// each file, the 2 % kept free, the chosen rate at and around its limits,
// and the refusal with the missing amount.
#include <gtest/gtest.h>

#include "convert/psp/FormatSize.h"
#include "convert/psp/PspFit.h"
#include "platform/storage/Storage.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

constexpr int64_t kSecond = 10000000;  // 100-ns units

PspFitFile File(int64_t duration, double fps = 25, int sampleRate = 24000, int64_t title = 100) {
    PspFitFile f;
    f.duration = duration;
    f.frameRate = fps;
    f.sampleRate = sampleRate;
    f.titleBoxBytes = title;
    return f;
}

// The smallest free space whose usable part (free less 2 %) is exactly
// `bytes`: the usable part grows by at most one byte per byte of free
// space, so every value is met.
int64_t FreeSpaceFor(int64_t bytes) {
    int64_t free = bytes;
    while (PspFit::Allowed(free) < bytes) ++free;
    return free;
}

PspSpace Space(int64_t freeBytes, int64_t cluster = 4096) { return PspSpace{freeBytes, cluster}; }

TEST(PspFit, OneFileIsItsMediaWithMarginTheBoxesAndTheThumbnail) {
    // 10 s at 400 + 96 kbit/s = 62000 bytes a second, counted for
    // 10 x 1.03 + 1 = 11.3 s: 700600 bytes. Tables: 11 s x (25 pictures x 24
    // + 24 sound frames x 12 bytes) = 9768 bytes, 4096 fixed, 100 of title.
    // Thumbnail bound 32768. With a cluster of one byte nothing is rounded.
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond), 400, 96, 1), 700600 + 9768 + 4096 + 100 + 32768);
    // A running time and a frame rate that are not whole: 10.5 s at
    // 29.97 pictures a second: 62000 x 11.815 = 732530 bytes of media,
    // ceil(11.5 x (29.97 x 24 + 288)) = 11584 bytes of tables.
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond + kSecond / 2, 29.97), 400, 96, 1),
              732530 + 11584 + 4096 + 100 + 32768);
    // 44.1 kHz sound: 44 frames of 1024 samples a second, rounded up to 44.
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond, 25, 44100), 400, 96, 1) -
                  PspFit::FileBytes(File(10 * kSecond, 25, 24000), 400, 96, 1),
              11 * (44 - 24) * 12);
    // Unknown rates take the largest the PSP meets: 60 pictures, 48 kHz.
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond, 0, 0), 400, 96, 1),
              PspFit::FileBytes(File(10 * kSecond, 60, 48000), 400, 96, 1));
    // A longer title box is counted byte for byte.
    EXPECT_EQ(PspFit::FileBytes(File(kSecond, 25, 24000, 700), 300, 96, 1) -
                  PspFit::FileBytes(File(kSecond, 25, 24000, 100), 300, 96, 1),
              600);
}

TEST(PspFit, TheFileAndItsThumbnailEachTakeWholeClusters) {
    const int64_t raw = PspFit::FileBytes(File(10 * kSecond), 400, 96, 1) - 32768;
    // A cluster exactly the file's size: one cluster for it, one for the thumbnail.
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond), 400, 96, raw), 2 * raw);
    // One byte less: the file needs a second cluster.
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond), 400, 96, raw - 1), 3 * (raw - 1));
    // An unknown cluster size is taken as 32 KiB.
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond), 400, 96, 0), PspFit::FileBytes(File(10 * kSecond), 400, 96, 32768));
    EXPECT_EQ(PspFit::FileBytes(File(10 * kSecond), 400, 96, 32768) % 32768, 0);
}

TEST(PspFit, TwoPercentOfTheFreeSpaceIsKeptRoundedUp) {
    EXPECT_EQ(PspFit::Allowed(5000), 4900);
    EXPECT_EQ(PspFit::Allowed(4999), 4899);  // 99.98 bytes kept: 100
    EXPECT_EQ(PspFit::Allowed(4951), 4851);  // 99.02: 100
    EXPECT_EQ(PspFit::Allowed(4950), 4851);  // 99 exactly
    EXPECT_EQ(PspFit::Allowed(1), 0);
    EXPECT_EQ(PspFit::Allowed(0), 0);
    // 2 % of 8 GiB without overflow.
    EXPECT_EQ(PspFit::Allowed(int64_t(8) << 30), (int64_t(8) << 30) - (((int64_t(8) << 30) * 2 + 99) / 100));
}

TEST(PspFit, ExactlyAtTheFreeSpaceFitsAndOneByteLessTakesALowerRate) {
    const std::vector<PspFitFile> files{File(60 * kSecond)};
    const int64_t at512 = PspFit::Estimate(files, 512, 96, 4096);
    const int64_t free = FreeSpaceFor(at512);
    ASSERT_EQ(PspFit::Allowed(free), at512);

    PspFitResult r = PspFit::Choose(files, 96, Space(free));
    ASSERT_TRUE(r.fits);
    EXPECT_EQ(r.videoBitrate, 512);
    EXPECT_EQ(r.estimate, at512);
    EXPECT_EQ(r.missing, 0);

    r = PspFit::Choose(files, 96, Space(free - 1));
    ASSERT_TRUE(r.fits);
    EXPECT_LT(r.videoBitrate, 512);
    EXPECT_GE(r.videoBitrate, 500);  // a few kbit/s less, not the floor
    EXPECT_LE(r.estimate, PspFit::Allowed(free - 1));
    EXPECT_GT(PspFit::Estimate(files, r.videoBitrate + 1, 96, 4096), PspFit::Allowed(free - 1));
}

TEST(PspFit, ARateThatIsNotWholeRoundsDown) {
    const std::vector<PspFitFile> files{File(95 * kSecond + 3333333, 23.976, 48000, 130)};
    const int64_t at300 = PspFit::Estimate(files, 300, 128, 1);
    const int64_t at301 = PspFit::Estimate(files, 301, 128, 1);
    ASSERT_GT(at301, at300 + 2);
    // Room for 300.5 kbit/s: 300 it is.
    const PspFitResult r = PspFit::Choose(files, 128, Space(FreeSpaceFor((at300 + at301) / 2), 1));
    ASSERT_TRUE(r.fits);
    EXPECT_EQ(r.videoBitrate, 300);
    // One byte short of 301: still 300; exactly 301's: 301.
    EXPECT_EQ(PspFit::Choose(files, 128, Space(FreeSpaceFor(at301 - 1), 1)).videoBitrate, 300);
    EXPECT_EQ(PspFit::Choose(files, 128, Space(FreeSpaceFor(at301), 1)).videoBitrate, 301);
}

TEST(PspFit, PlentyOfRoomStopsAt768) {
    const std::vector<PspFitFile> files{File(30 * kSecond), File(45 * kSecond)};
    const PspFitResult r = PspFit::Choose(files, 96, Space(int64_t(16) << 30));
    ASSERT_TRUE(r.fits);
    EXPECT_EQ(r.videoBitrate, 768);
    EXPECT_EQ(r.estimate, PspFit::Estimate(files, 768, 96, 4096));
    // Exactly room for 768: 768; one byte less: 767.
    const int64_t at768 = PspFit::Estimate(files, 768, 96, 1);
    EXPECT_EQ(PspFit::Choose(files, 96, Space(FreeSpaceFor(at768), 1)).videoBitrate, 768);
    EXPECT_EQ(PspFit::Choose(files, 96, Space(FreeSpaceFor(at768) - 1, 1)).videoBitrate, 767);
}

TEST(PspFit, WhenEven200DoesNotFitTheMissingAmountIsWhatMakesItFit) {
    const std::vector<PspFitFile> files{File(600 * kSecond), File(1200 * kSecond, 29.97, 48000)};
    const int64_t at200 = PspFit::Estimate(files, 200, 96, 32768);
    const int64_t enough = FreeSpaceFor(at200);
    // Exactly enough: 200 kbit/s.
    PspFitResult r = PspFit::Choose(files, 96, Space(enough, 32768));
    ASSERT_TRUE(r.fits);
    EXPECT_EQ(r.videoBitrate, 200);
    // 1536 bytes short: refused, and the text says how much.
    r = PspFit::Choose(files, 96, Space(enough - 1536, 32768));
    EXPECT_FALSE(r.fits);
    EXPECT_EQ(r.missing, 1536);
    EXPECT_EQ(r.estimate, at200);
    EXPECT_EQ(FitRefusalText(r), "The videos do not fit on the PSP even at 200 kbit/s.\nNeed 1.50KB more free space.");
    // One byte short.
    r = PspFit::Choose(files, 96, Space(enough - 1, 32768));
    EXPECT_FALSE(r.fits);
    EXPECT_EQ(r.missing, 1);
    // An empty stick: the whole amount (and its 2 %) is missing.
    r = PspFit::Choose(files, 96, Space(0, 32768));
    EXPECT_FALSE(r.fits);
    EXPECT_EQ(r.missing, enough);
    EXPECT_EQ(FitRefusalText(r), "The videos do not fit on the PSP even at 200 kbit/s.\nNeed " + FormatSize(enough) +
                                     "B more free space.");
}

TEST(PspFit, SeveralFilesAddUpAndShareTheRoom) {
    const PspFitFile a = File(40 * kSecond), b = File(20 * kSecond + 1, 30, 44100, 600);
    EXPECT_EQ(PspFit::Estimate({a, b}, 450, 96, 32768),
              PspFit::FileBytes(a, 450, 96, 32768) + PspFit::FileBytes(b, 450, 96, 32768));
    EXPECT_EQ(PspFit::Estimate({}, 450, 96, 32768), 0);
    // Room for the first alone at 700 kbit/s: both together get less.
    const int64_t free = FreeSpaceFor(PspFit::Estimate({a}, 700, 96, 1));
    EXPECT_EQ(PspFit::Choose({a}, 96, Space(free, 1)).videoBitrate, 700);
    const PspFitResult both = PspFit::Choose({a, b}, 96, Space(free, 1));
    ASSERT_TRUE(both.fits);
    EXPECT_LT(both.videoBitrate, 500);
    EXPECT_LE(both.estimate, PspFit::Allowed(free));
    EXPECT_GT(PspFit::Estimate({a, b}, both.videoBitrate + 1, 96, 1), PspFit::Allowed(free));
    // A higher sound rate leaves less for the pictures.
    EXPECT_LT(PspFit::Choose({a, b}, 192, Space(free, 1)).videoBitrate, both.videoBitrate);
}

TEST(PspFit, TheChosenRateIsSaid) {
    PspFitResult r;
    r.fits = true;
    r.videoBitrate = 612;
    EXPECT_EQ(FitChosenText(r), "Video bit rate fitted to the PSP's free space: 612 kbit/s");
}

TEST(PspFit, TheSpaceIsMeasuredWhereThePspIsMounted) {
    std::string asked;
    storage::SetDiskFreeSpaceHook([&](const std::string& path, int64_t& freeBytes) {
        asked = path;
        freeBytes = 123456789;
        return true;
    });
    PspSpace space;
    const std::string root = test::TestRoot() + "/";
    EXPECT_TRUE(MeasurePspSpace(root, space));
    EXPECT_EQ(asked, root);
    EXPECT_EQ(space.freeBytes, 123456789);
    EXPECT_GT(space.clusterBytes, 0);
    storage::SetDiskFreeSpaceHook([](const std::string&, int64_t&) { return false; });
    std::string why = "unset";
    EXPECT_FALSE(MeasurePspSpace(root, space, &why));
    storage::SetDiskFreeSpaceHook(nullptr);
}

}  // namespace
}  // namespace kalvex
