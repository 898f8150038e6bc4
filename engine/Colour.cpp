#include "engine/Colour.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kalvex::avs {

namespace {

// The luma weights of red and blue that define a YUV matrix.
struct Weights {
    double kr, kb;
};

Weights WeightsOf(AVColorSpace matrix) {
    switch (matrix) {
        case AVCOL_SPC_BT709: return {0.2126, 0.0722};
        case AVCOL_SPC_FCC: return {0.30, 0.11};
        case AVCOL_SPC_SMPTE240M: return {0.212, 0.087};
        case AVCOL_SPC_BT2020_NCL: return {0.2627, 0.0593};
        default: return {0.299, 0.114};  // BT.601
    }
}

struct Yuv {
    double y, cb, cr;  // y in [0, 1], cb and cr in [-0.5, 0.5]
};

Yuv FromRgb(double r, double g, double b, Weights w) {
    const double y = w.kr * r + (1 - w.kr - w.kb) * g + w.kb * b;
    return {y, (b - y) / (2 * (1 - w.kb)), (r - y) / (2 * (1 - w.kr))};
}

void ToRgb(const Yuv& v, Weights w, double* r, double* g, double* b) {
    *r = v.y + 2 * (1 - w.kr) * v.cr;
    *b = v.y + 2 * (1 - w.kb) * v.cb;
    *g = (v.y - w.kr * *r - w.kb * *b) / (1 - w.kr - w.kb);
}

// Where one chroma unit of the source lands in BT.601 (luma, cb, cr).
Yuv Column(Weights from, double cb, double cr) {
    double r, g, b;
    ToRgb({0, cb, cr}, from, &r, &g, &b);
    return FromRgb(r, g, b, WeightsOf(AVCOL_SPC_SMPTE170M));
}

int32_t Fixed(double v) { return int32_t(std::lround(v * 65536.0)); }

uint8_t Clamp8(int32_t fixed) { return uint8_t(std::clamp(fixed >> 16, 0, 255)); }

}  // namespace

AVColorSpace GuessMatrix(int width, int height) {
    return width > kSdMaxWidth || height > kSdMaxHeight ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
}

AVColorSpace MatrixOf(const ClipInfo& info) {
    switch (info.colorSpace) {
        case AVCOL_SPC_BT709:
        case AVCOL_SPC_FCC:
        case AVCOL_SPC_SMPTE240M:
        case AVCOL_SPC_BT2020_NCL: return info.colorSpace;
        // The constant-luminance form has no matrix of its own; its
        // non-constant twin is the nearest.
        case AVCOL_SPC_BT2020_CL: return AVCOL_SPC_BT2020_NCL;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M: return AVCOL_SPC_SMPTE170M;
        default: return GuessMatrix(info.width, info.height);
    }
}

bool IsFullRangeFormat(AVPixelFormat f) {
    return f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P || f == AV_PIX_FMT_YUVJ444P ||
           f == AV_PIX_FMT_YUVJ440P || f == AV_PIX_FMT_YUVJ411P;
}

bool IsFullRange(const ClipInfo& info) {
    return info.colorRange == AVCOL_RANGE_JPEG || IsFullRangeFormat(info.pixelFormat);
}

bool NeedsBt601(const ClipInfo& info) { return MatrixOf(info) != AVCOL_SPC_SMPTE170M || IsFullRange(info); }

ToBt601::ToBt601(AVColorSpace from, bool fullRange, bool byTables) {
    const Weights w = WeightsOf(from);
    const double yOffset = fullRange ? 0 : 16, yScale = fullRange ? 255 : 219, cScale = fullRange ? 255 : 224;
    const Yuv byCb = Column(w, 1, 0), byCr = Column(w, 0, 1);
    for (int v = 0; v < 256; ++v) {
        const double y = (v - yOffset) / yScale, c = (v - 128) / cScale;
        // The rounding half is carried by the first table of each sum.
        yFromY_[v] = Fixed(16 + 219 * y + 0.5);
        yFromCb_[v] = Fixed(219 * byCb.y * c);
        yFromCr_[v] = Fixed(219 * byCr.y * c);
        cbFromCb_[v] = Fixed(128 + 224 * byCb.cb * c + 0.5);
        cbFromCr_[v] = Fixed(224 * byCr.cb * c);
        crFromCb_[v] = Fixed(128 + 224 * byCb.cr * c + 0.5);
        crFromCr_[v] = Fixed(224 * byCr.cr * c);
    }
    lumaKept_ = !byTables;
    for (int v = 0; v < 256; ++v) lumaKept_ = lumaKept_ && yFromY_[v] == v * 65536 + 32768;
}

bool ToBt601::Apply(AVFrame& f) const {
    if ((f.format != AV_PIX_FMT_YUV420P && f.format != AV_PIX_FMT_YUVJ420P) || f.width < 1 || f.height < 1)
        return false;
    const int width = f.width, height = f.height;
    const int cw = (width + 1) / 2, ch = (height + 1) / 2;
    // Luma first: it reads the chroma before that is rewritten.
    if (lumaKept_) {
        // (65536 l + 32768 + s) >> 16 is l + ((32768 + s) >> 16) for whole
        // numbers: the chroma's share s is worked out once for the four luma
        // samples it covers, and the luma rows take it in a loop the compiler
        // vectorizes. The numbers are those of the tables.
        std::vector<int16_t> share(size_t(cw) * 2);
        for (int cy = 0; cy < ch; ++cy) {
            const uint8_t* u = f.data[1] + ptrdiff_t(cy) * f.linesize[1];
            const uint8_t* v = f.data[2] + ptrdiff_t(cy) * f.linesize[2];
            for (int x = 0; x < cw; ++x)
                share[size_t(2 * x)] = share[size_t(2 * x + 1)] =
                    int16_t((32768 + yFromCb_[u[x]] + yFromCr_[v[x]]) >> 16);
            for (int y = 2 * cy; y < std::min(2 * cy + 2, height); ++y) {
                uint8_t* __restrict row = f.data[0] + ptrdiff_t(y) * f.linesize[0];
                const int16_t* __restrict d = share.data();
                for (int x = 0; x < width; ++x) row[x] = uint8_t(std::clamp(row[x] + d[x], 0, 255));
            }
        }
    } else {
        for (int y = 0; y < height; ++y) {
            uint8_t* row = f.data[0] + ptrdiff_t(y) * f.linesize[0];
            const uint8_t* u = f.data[1] + ptrdiff_t(y >> 1) * f.linesize[1];
            const uint8_t* v = f.data[2] + ptrdiff_t(y >> 1) * f.linesize[2];
            for (int x = 0; x < width; ++x)
                row[x] = Clamp8(yFromY_[row[x]] + yFromCb_[u[x >> 1]] + yFromCr_[v[x >> 1]]);
        }
    }
    for (int y = 0; y < ch; ++y) {
        uint8_t* u = f.data[1] + ptrdiff_t(y) * f.linesize[1];
        uint8_t* v = f.data[2] + ptrdiff_t(y) * f.linesize[2];
        for (int x = 0; x < cw; ++x) {
            const uint8_t cb = u[x], cr = v[x];
            u[x] = Clamp8(cbFromCb_[cb] + cbFromCr_[cr]);
            v[x] = Clamp8(crFromCb_[cb] + crFromCr_[cr]);
        }
    }
    f.format = AV_PIX_FMT_YUV420P;
    f.colorspace = AVCOL_SPC_SMPTE170M;
    f.color_range = AVCOL_RANGE_MPEG;
    return true;
}

}  // namespace kalvex::avs
