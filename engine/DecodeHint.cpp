#include "engine/DecodeHint.h"

#include <algorithm>
#include <cstdint>

namespace kalvex::avs {
bool ShrinksTwofold(int sourceW, int sourceH, int outW, int outH) {
    if (sourceW <= 0 || sourceH <= 0 || outW <= 0 || outH <= 0) return false;
    // In whole numbers: no rounding at exactly twofold.
    return int64_t(sourceW) >= 2 * int64_t(outW) && int64_t(sourceH) >= 2 * int64_t(outH);
}

bool SkipsLoopFilter(AVCodecID codec, int sourceW, int sourceH, int outW, int outH) {
    if (codec != AV_CODEC_ID_H264 && codec != AV_CODEC_ID_HEVC) return false;
    return ShrinksTwofold(sourceW, sourceH, outW, outH);
}

namespace {

// Frame threads by picture size (up to mostPixels) and cores: the count on
// one core, on two, how many each further core adds, and the most.
//
// Measured decoding alone (the ffmpeg tool, -threads N, decoding to null),
// processor seconds (user + system), mean of two runs per count (4K: one
// run from 5 threads on 2 cores and on one core), on 2 cores and on one
// (taskset -c 0). The machine was shared (load average 8-21 from other
// work), so wall times said nothing and are left out:
//   source                      cores    1     2     3     4     5     6
//   10 s 1280x720 H.264 5 Mbit/s   2   1.27  1.31  1.32  1.31  1.31  1.30
//                                  1   1.20  1.25  1.22  1.22  1.23  1.24
//   5 s 1920x1080 H.264 crf 20     2   4.47  4.79  4.60  4.55  4.55  4.58
//                                  1   4.40  4.35  4.37  4.45  4.50  4.83
//   3 s 3840x2160 HEVC 10-bit      2   3.56  3.82  3.60  3.53  3.47  3.30
//                                  1   3.12  3.19  3.26  3.22  3.38  3.54
//   10 s 720x480 MPEG-2 (slices, the table does not apply)
//                                  2   0.29  0.33  0.33  0.34  0.35  0.34
// On one core every thread beyond the first costs processor time (1080p:
// +10 % at six, 4K: +13 %) and cannot win wall time: one thread.
//
// On two cores the count is chosen from whole conversions (Kalvex
// --convert of the 60 s 720p and the 30 s 1080p bench sources, counts
// taking turns within each round, 4-5 rounds, medians), by how well the
// threads keep both cores busy: wall time over processor time per core.
//   source   threads:      3      4      5      6
//   720p     wall/cpu    1.135  1.069  1.053  1.048
//            peak MB       95    101    104    108
//   1080p    wall/cpu    1.088  1.058  1.050  1.030
//            peak MB      120    131    140    148
// With three threads (the ffmpeg tool's own count), one picture waiting for
// the rows of the one it is predicted from often leaves a core idle; each
// further thread fills that, and the gain flattens out after five. The
// host's speed varied by up to a third between rounds, which hides any
// difference in processor time between the counts (pairs within a round
// differ by a few per cent either way), so five on two cores for both
// sizes; six adds a picture's memory for little. The order within a pair
// weighs as much here: the bench's own comparison of two builds, five
// threads always first, once saw five take 6 % more wall time on 720p,
// where rounds in the order 4-5-5-4 put five ahead: on 1080p, means of
// six runs each, 8.78 s wall and 17.07 s processor time with five against
// 8.99 s and 17.19 s with four. (An earlier side-by-side run saw six
// frame threads on 1080p take 29 % more processor time than three; paired
// within rounds here they did not.)
//
// Beyond two cores (not measured here) each further core adds what one
// more core needs at that size (two threads, or one), up to 16, and 4K
// stays at six at most: each frame thread holds pictures of its own (about
// 25 MB each at 10 bits). On two cores 4K takes two threads, not three:
// converting the 20 s 4K bench source (HEVC 10-bit, two runs each, taking
// turns, load average 4-5) took 25.0 and 23.9 processor seconds with two
// against 25.1 and 27.2 with three, the same wall time within the noise
// (18.8/18.0 s against 16.8/18.3 s), and a peak of 356 MB against 417 MB;
// three threads would break the 400 MB a 4K conversion may take. Measured
// again once the source decoded on a thread of its own (DecodeAhead.h) and
// libavfilter was no longer loaded at start (4 runs each, taking turns):
// two threads 9.31 s wall, 17.09 s processor time, 336 MB;
// three 9.34 s, 17.28 s, 396 MB. With the scaling off the decoder's
// thread, a third thread no longer wins anything.
struct ThreadRow {
    int64_t mostPixels;
    int oneCore;
    int twoCores;
    int perFurtherCore;
    int most;
};
constexpr ThreadRow kThreadTable[] = {
    {1280 * 720, 1, 5, 2, 16},
    {1920 * 1088, 1, 5, 1, 16},
    {INT64_MAX, 1, 2, 1, 6},
};

}  // namespace

// Converting the 60 s DVD bench source (720x480 MPEG-2, AC-3 5.1) on two
// cores, six rounds taking turns, the same pictures either way: one slice
// thread 1.65 s wall, 2.95 s processor time; the library's three 1.77 s
// and 3.09 s (every round faster with one). Two threads lay between (four
// rounds: 2.10 s against 2.03 s with one and 2.14 s with three). Decoding
// alone, one thread also took the least processor time (table above). A
// 20 s 1080i MPEG-2 broadcast capture (15 Mbit/s, deinterlaced on the way),
// three rounds: one thread 2.99 s wall, 4.49 s processor time; three
// 3.06 s and 4.64 s.
int SliceDecoderThreads(int cores) { return cores >= 1 && cores <= 2 ? 1 : 0; }

int ConversionDecoderThreads(bool frameThreads, int cores, int width, int height) {
    if (!frameThreads || cores < 1) return 0;
    const int64_t pixels = width > 0 && height > 0 ? int64_t(width) * height : int64_t(1920) * 1080;
    const ThreadRow* row = &kThreadTable[0];
    while (pixels > row->mostPixels) ++row;
    if (cores == 1) return row->oneCore;
    return std::min<int64_t>(row->most, row->twoCores + int64_t(cores - 2) * row->perFurtherCore);
}

}  // namespace kalvex::avs
