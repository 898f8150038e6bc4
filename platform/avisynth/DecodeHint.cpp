#include "platform/avisynth/DecodeHint.h"

#include <algorithm>
#include <cstdint>

namespace kalvex::avs {
namespace {
thread_local int tOutWidth = 0, tOutHeight = 0;
}  // namespace

void SetOutputSizeHint(int width, int height) {
    tOutWidth = width > 0 && height > 0 ? width : 0;
    tOutHeight = width > 0 && height > 0 ? height : 0;
}

void GetOutputSizeHint(int* width, int* height) {
    if (width) *width = tOutWidth;
    if (height) *height = tOutHeight;
}

ScopedOutputSizeHint::ScopedOutputSizeHint(int width, int height) {
    GetOutputSizeHint(&oldWidth_, &oldHeight_);
    SetOutputSizeHint(width, height);
}

ScopedOutputSizeHint::~ScopedOutputSizeHint() { SetOutputSizeHint(oldWidth_, oldHeight_); }

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

bool HasOutputSizeHint() { return tOutWidth > 0 && tOutHeight > 0; }

}  // namespace kalvex::avs
