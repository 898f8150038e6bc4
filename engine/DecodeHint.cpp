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

int ConversionDecoderThreads(bool frameThreads, int cores) {
    if (!frameThreads || cores < 1) return 0;
    return std::min(16, 3 * cores);
}

}  // namespace kalvex::avs
