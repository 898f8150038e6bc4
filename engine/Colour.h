#pragma once
// The colour numbers of the pictures the engine delivers. The PSP's decoder
// (and every player of standard-definition video) reads YUV as BT.601 in
// limited range, so the output size's scaler turns whatever the source holds
// into exactly that: another matrix (BT.709 and the like) and full range are
// converted, BT.601 limited passes through untouched.
#include <array>
#include <cstdint>

#include "engine/Clip.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace kalvex::avs {

// A source that names no matrix: pictures larger than standard definition
// (wider than 1024 or taller than 576) are taken as BT.709, the rest as
// BT.601, the way players and FFmpeg guess.
constexpr int kSdMaxWidth = 1024;
constexpr int kSdMaxHeight = 576;
AVColorSpace GuessMatrix(int width, int height);

// The matrix a clip's numbers are in: the one it declares when the engine
// knows it, else the guess for its size. BT.470BG and SMPTE 170M are the
// same BT.601 matrix and come back as SMPTE 170M.
AVColorSpace MatrixOf(const ClipInfo& info);
// True for the layouts that are full range by definition (yuvj).
bool IsFullRangeFormat(AVPixelFormat format);
// True when the clip's numbers use the full 0-255 range.
bool IsFullRange(const ClipInfo& info);
// True when the clip's pictures are not BT.601 limited range.
bool NeedsBt601(const ClipInfo& info);

// Turns 8-bit planar 4:2:0 pictures from one matrix and range into BT.601
// limited range, in place. Grey stays grey under every matrix, so the chroma
// of the result depends on the chroma alone; the luma takes the chroma
// sample its 2x2 block shares. Tables make it a few additions per sample.
class ToBt601 {
public:
    // byTables: every luma sample through the tables even where a
    // limited-range source allows the shortcut (the reference the tests hold
    // the shortcut to).
    ToBt601(AVColorSpace from, bool fullRange, bool byTables = false);
    // False for a frame of another layout (left as it is).
    bool Apply(AVFrame& frame) const;

private:
    std::array<int32_t, 256> yFromY_{};    // 16.16 fixed point
    std::array<int32_t, 256> yFromCb_{}, yFromCr_{};
    std::array<int32_t, 256> cbFromCb_{}, cbFromCr_{};
    std::array<int32_t, 256> crFromCb_{}, crFromCr_{};
    // yFromY_[v] is v + 1/2 exactly (a limited-range source): a luma sample
    // then only moves by its chroma's share, rounded once per chroma sample.
    bool lumaKept_ = false;
};

}  // namespace kalvex::avs
