#include "engine/Shrink.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/cpu.h>
}

#if defined(__x86_64__)
#include <immintrin.h>
#define KALVEX_SHRINK_AVX2 1
#endif

namespace kalvex::avs {

namespace {

constexpr int kCoefficientBits = 14;
constexpr int kOne = 1 << kCoefficientBits;
// The rows between the passes hold 8-bit levels times 64.
constexpr int kMiddleBits = 6;
constexpr int kAcrossShift = kCoefficientBits + kMiddleBits;

// The Mitchell-Netravali cubic with parameters B and C, at distance x.
double Cubic(double x, double b, double c) {
    x = std::fabs(x);
    if (x < 1) return ((12 - 9 * b - 6 * c) * x * x * x + (-18 + 12 * b + 6 * c) * x * x + (6 - 2 * b)) / 6;
    if (x < 2) return ((-b - 6 * c) * x * x * x + (6 * b + 30 * c) * x * x + (-12 * b - 48 * c) * x + (8 * b + 24 * c)) / 6;
    return 0;
}

int BitsOf(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUV420P: return 8;
    case AV_PIX_FMT_YUV420P9: return 9;
    case AV_PIX_FMT_YUV420P10: return 10;
    case AV_PIX_FMT_YUV420P12: return 12;
    default: return 0;
    }
}

int16_t Saturate16(int32_t v) { return int16_t(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX)); }
uint8_t Clamp8(int32_t v) { return uint8_t(std::clamp<int32_t>(v, 0, 255)); }

// ---- Plain C++: the numbers every kernel gives ----

// Sample x of a row as the kernels multiply it: a 16-bit word as signed.
// No decoder's sample reaches the sign bit; a damaged one that did gives
// the same (wrong) numbers in every kernel, and the sums wrap round as
// the vector instructions' do instead of overflowing.
template <bool Deep>
int32_t SampleAt(const uint8_t* row, int x) {
    if constexpr (Deep)
        return int16_t(reinterpret_cast<const uint16_t*>(row)[x]);
    else
        return row[x];
}

// The rounded sum as the kernels take it from 32 bits that wrapped round.
int16_t Down(uint32_t sum, int shift) { return Saturate16(int32_t(sum + (1u << (shift - 1))) >> shift); }

// Samples from `first` up to `width` of one row filtered down.
template <bool Deep>
void DownPlain(const uint8_t* const* rows, const int16_t* coefficients, int taps, int first, int width, int shift,
               int16_t* middle) {
    for (int x = first; x < width; ++x) {
        uint32_t sum = 0;
        for (int k = 0; k < taps; ++k) sum += uint32_t(coefficients[k] * SampleAt<Deep>(rows[k], x));
        middle[x] = Down(sum, shift);
    }
}

void AcrossPlain(const int16_t* middle, const Shrink420::Filter& f, int width, uint8_t* out) {
    for (int i = 0; i < width; ++i) {
        const int16_t* s = middle + f.first[i];
        const int16_t* c = &f.coefficients[size_t(i) * f.stride];
        int32_t sum = 0;
        for (int k = 0; k < f.stride; ++k) sum += int32_t(c[k]) * s[k];
        out[i] = Clamp8((sum + (1 << (kAcrossShift - 1))) >> kAcrossShift);
    }
}

#ifdef KALVEX_SHRINK_AVX2
// The pass down runs tap by tap over whole rows: each step reads two source
// rows front to back, which the processor prefetches, and adds into a row of
// 32-bit sums that stays in the first-level cache. (Sixteen samples at a time
// over all taps would read as many rows at once as there are taps, more than
// the prefetcher follows.) The two rows' samples are interleaved and
// multiplied by their pair of coefficients in one step (vpmaddwd).

// Sixteen 8-bit samples of two rows, interleaved into two vectors of eight
// pairs each (samples 0-7, then 8-15).
__attribute__((target("avx2"))) inline void Pairs8(const uint8_t* r0, const uint8_t* r1, __m256i& lo, __m256i& hi) {
    const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0));
    const __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1));
    lo = _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(p0, p1));
    hi = _mm256_cvtepu8_epi16(_mm_unpackhi_epi8(p0, p1));
}

// Sixteen 16-bit samples of two rows, interleaved per 128-bit lane: lo holds
// samples 0-3 and 8-11, hi 4-7 and 12-15.
__attribute__((target("avx2"))) inline void Pairs16(const uint8_t* r0, const uint8_t* r1, __m256i& lo, __m256i& hi) {
    const __m256i p0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0));
    const __m256i p1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1));
    lo = _mm256_unpacklo_epi16(p0, p1);
    hi = _mm256_unpackhi_epi16(p0, p1);
}

// Adds rows0[j] and rows1[j] times pair j (coefficients 2j and 2j+1) to
// sums, for j up to npairs, over the first `vectors` sixteen-sample steps
// of the row. Sums hold each step's two halves in the order Pairs gives.
template <bool Deep>
__attribute__((target("avx2"))) void AddRowsAvx2(const uint8_t* const* rows0, const uint8_t* const* rows1,
                                                 const uint32_t* pairs, int npairs, int vectors, __m256i* sums) {
    constexpr int step = Deep ? 32 : 16;  // bytes of sixteen samples
    int j = 0;
    // Two pairs (four rows) a pass, so each pass's load and store of the
    // sums is shared by four rows.
    for (; j + 2 <= npairs; j += 2) {
        const __m256i c0 = _mm256_set1_epi32(int(pairs[j])), c1 = _mm256_set1_epi32(int(pairs[j + 1]));
        const uint8_t *a0 = rows0[j], *a1 = rows1[j], *b0 = rows0[j + 1], *b1 = rows1[j + 1];
        for (int v = 0; v < vectors; ++v) {
            __m256i alo, ahi, blo, bhi;
            if constexpr (Deep) {
                Pairs16(a0 + v * step, a1 + v * step, alo, ahi);
                Pairs16(b0 + v * step, b1 + v * step, blo, bhi);
            } else {
                Pairs8(a0 + v * step, a1 + v * step, alo, ahi);
                Pairs8(b0 + v * step, b1 + v * step, blo, bhi);
            }
            const __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(alo, c0), _mm256_madd_epi16(blo, c1));
            const __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(ahi, c0), _mm256_madd_epi16(bhi, c1));
            sums[2 * v] = _mm256_add_epi32(sums[2 * v], lo);
            sums[2 * v + 1] = _mm256_add_epi32(sums[2 * v + 1], hi);
        }
    }
    for (; j < npairs; ++j) {
        const __m256i c0 = _mm256_set1_epi32(int(pairs[j]));
        const uint8_t *a0 = rows0[j], *a1 = rows1[j];
        for (int v = 0; v < vectors; ++v) {
            __m256i alo, ahi;
            if constexpr (Deep)
                Pairs16(a0 + v * step, a1 + v * step, alo, ahi);
            else
                Pairs8(a0 + v * step, a1 + v * step, alo, ahi);
            sums[2 * v] = _mm256_add_epi32(sums[2 * v], _mm256_madd_epi16(alo, c0));
            sums[2 * v + 1] = _mm256_add_epi32(sums[2 * v + 1], _mm256_madd_epi16(ahi, c0));
        }
    }
}

// The whole groups of sixteen samples of one row filtered down (the
// samples past the last group are the plain kernel's).
template <bool Deep>
__attribute__((target("avx2"))) void DownAvx2(const uint8_t* const* rows0, const uint8_t* const* rows1,
                                              const uint32_t* pairs, int npairs, int width, int shift, __m256i* sums,
                                              int16_t* middle) {
    const int vectors = width / 16;
    const __m256i half = _mm256_set1_epi32(1 << (shift - 1));
    for (int v = 0; v < 2 * vectors; ++v) sums[v] = half;
    AddRowsAvx2<Deep>(rows0, rows1, pairs, npairs, vectors, sums);
    for (int v = 0; v < vectors; ++v) {
        const __m256i lo = _mm256_srai_epi32(sums[2 * v], shift), hi = _mm256_srai_epi32(sums[2 * v + 1], shift);
        // Packing works per 128-bit lane: for 16-bit samples that puts the
        // halves back in order, for 8-bit ones it takes a permute.
        __m256i packed = _mm256_packs_epi32(lo, hi);
        if constexpr (!Deep) packed = _mm256_permute4x64_epi64(packed, 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(middle + 16 * v), packed);
    }
}

// Adds up eight vectors of eight sums each: element n of the result is the
// sum of v[n].
__attribute__((target("avx2"))) inline __m256i AddUpEight(const __m256i v[8]) {
    const __m256i a = _mm256_hadd_epi32(_mm256_hadd_epi32(v[0], v[1]), _mm256_hadd_epi32(v[2], v[3]));
    const __m256i b = _mm256_hadd_epi32(_mm256_hadd_epi32(v[4], v[5]), _mm256_hadd_epi32(v[6], v[7]));
    // a holds v0-v3's sums of their low lanes, then of their high lanes.
    return _mm256_add_epi32(_mm256_permute2x128_si256(a, b, 0x20), _mm256_permute2x128_si256(a, b, 0x31));
}

// Eight output samples at a time, over the same taps: their products are
// added up together, rounded, shifted, and clamped to 0-255 by the packs.
// The filter's stride is a multiple of 8, its coefficients past the taps
// zero, and the middle row has a stride's room past its end.
__attribute__((target("avx2"))) void AcrossAvx2(const int16_t* middle, const Shrink420::Filter& f, int width,
                                               uint8_t* out) {
    const __m256i half = _mm256_set1_epi32(1 << (kAcrossShift - 1));
    const int stride = f.stride, whole = stride / 16 * 16;
    int i = 0;
    for (; i < width; i += 8) {
        const int n = std::min(8, width - i);
        const int16_t* s[8];
        const int16_t* c[8];
        for (int m = 0; m < 8; ++m) {
            // Past the last output the last one is worked out again.
            const int o = i + std::min(m, n - 1);
            s[m] = middle + f.first[o];
            c[m] = &f.coefficients[size_t(o) * stride];
        }
        __m256i acc[8];
        for (__m256i& a : acc) a = _mm256_setzero_si256();
        for (int k = 0; k < whole; k += 16)
            for (int m = 0; m < 8; ++m)
                acc[m] = _mm256_add_epi32(acc[m],
                                          _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s[m] + k)),
                                                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c[m] + k))));
        if (whole < stride)  // a last eight taps
            for (int m = 0; m < 8; ++m) {
                const __m128i p = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s[m] + whole)),
                                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(c[m] + whole)));
                acc[m] = _mm256_add_epi32(acc[m], _mm256_inserti128_si256(_mm256_setzero_si256(), p, 0));
            }
        const __m256i sums = _mm256_srai_epi32(_mm256_add_epi32(AddUpEight(acc), half), kAcrossShift);
        const __m256i words = _mm256_packs_epi32(sums, sums);  // per lane: four sums, twice
        const __m256i bytes = _mm256_packus_epi16(words, words);
        int32_t eight[2] = {_mm256_extract_epi32(bytes, 0), _mm256_extract_epi32(bytes, 4)};
        std::memcpy(out + i, eight, size_t(n));
    }
}
#endif

}  // namespace

Shrink420::Kernel Shrink420::Resolve(Kernel kernel) {
#ifdef KALVEX_SHRINK_AVX2
    // FFmpeg's reading of the processor, as for the library's own kernels
    // (CpuKernels.h): flags forced there hold here too.
    if (kernel == Kernel::Best && (av_get_cpu_flags() & AV_CPU_FLAG_AVX2)) return Kernel::Best;
#endif
    return Kernel::Plain;
}

bool Shrink420::Handles(int srcWidth, int srcHeight, AVPixelFormat format, int dstWidth, int dstHeight, Kernel kernel) {
    if (Resolve(kernel) != Kernel::Best) return false;
    // Even destination sizes keep each chroma plane smaller than its source.
    // Below two and a half times, libswscale's short filters across are
    // the faster (bench/shrink.sh, a picture to 368x208: from 720x480
    // libswscale took 0.18 ms and this shrink 0.26 ms, from 720x576 0.21
    // and 0.26 ms; from 960x540 0.39 against 0.28 ms, from 1920x1080 0.86
    // against 0.56 ms).
    return BitsOf(format) != 0 && dstWidth >= 2 && dstHeight >= 2 && !(dstWidth & 1) && !(dstHeight & 1) &&
           2 * int64_t(srcWidth) >= 5 * int64_t(dstWidth) && 2 * int64_t(srcHeight) >= 5 * int64_t(dstHeight);
}

Shrink420::Filter Shrink420::MakeFilter(int srcSize, int dstSize, double b, double c, int align) {
    Filter f;
    f.first.resize(dstSize);
    f.taps.resize(dstSize);
    const double ratio = double(srcSize) / dstSize;
    const double reach = 2 * ratio;  // the cubic's two samples, stretched
    std::vector<std::vector<double>> weights(dstSize);
    int widest = 1;
    for (int i = 0; i < dstSize; ++i) {
        // Sample centres line up: output i covers source [i, i + 1) * ratio.
        const double centre = (i + 0.5) * ratio - 0.5;
        const int from = int(std::ceil(centre - reach)), to = int(std::floor(centre + reach));
        const int first = std::clamp(from, 0, srcSize - 1), last = std::clamp(to, 0, srcSize - 1);
        std::vector<double>& w = weights[i];
        w.assign(size_t(last - first + 1), 0.0);
        // Past an edge the edge sample stands in for the missing ones.
        for (int j = from; j <= to; ++j) w[size_t(std::clamp(j, 0, srcSize - 1) - first)] += Cubic((j - centre) / ratio, b, c);
        f.first[i] = first;
        f.taps[i] = last - first + 1;
        widest = std::max(widest, f.taps[i]);
    }
    f.stride = (widest + align - 1) / align * align;
    f.coefficients.assign(size_t(dstSize) * f.stride, 0);
    for (int i = 0; i < dstSize; ++i) {
        const std::vector<double>& w = weights[i];
        double total = 0;
        for (double v : w) total += v;
        // Rounding the running sum keeps the sum of the rounded
        // coefficients at exactly one.
        double running = 0;
        long before = 0;
        int16_t* out = &f.coefficients[size_t(i) * f.stride];
        for (size_t k = 0; k < w.size(); ++k) {
            running += w[k] / total;
            const long now = k + 1 == w.size() ? kOne : std::lround(running * kOne);
            out[k] = int16_t(now - before);
            before = now;
        }
    }
    return f;
}

Shrink420::Shrink420(int srcWidth, int srcHeight, AVPixelFormat format, int dstWidth, int dstHeight, double b, double c,
                     Kernel kernel)
    : bits_(BitsOf(format)), kernel_(Resolve(kernel)) {
    auto half = [](int v) { return (v + 1) / 2; };
    const int sizes[2][4] = {{srcWidth, srcHeight, dstWidth, dstHeight},
                             {half(srcWidth), half(srcHeight), half(dstWidth), half(dstHeight)}};
    for (int p = 0; p < 2; ++p) {
        Plane& plane = planes_[p];
        plane.srcWidth = sizes[p][0], plane.srcHeight = sizes[p][1];
        plane.dstWidth = sizes[p][2], plane.dstHeight = sizes[p][3];
        plane.across = MakeFilter(plane.srcWidth, plane.dstWidth, b, c, 8);
        plane.down = MakeFilter(plane.srcHeight, plane.dstHeight, b, c, 2);
    }
    // The pass across reads a stride's room past the middle row's end.
    size_t room = 0;
    for (const Plane& p : planes_) room = std::max(room, size_t(p.srcWidth + p.across.stride));
    middle_.assign(room, 0);
    sums_.resize(size_t(planes_[0].srcWidth / 16 * 2));
}

void Shrink420::ApplyPlane(const Plane& plane, const uint8_t* const* rows, uint8_t* out, int outStride) {
    const Filter& down = plane.down;
    int16_t* middle = middle_.data();
    const int shift = bits_ + kCoefficientBits - 8 - kMiddleBits;
    for (int y = 0; y < plane.dstHeight; ++y) {
        const uint8_t* const* from = rows + down.first[y];
        const int16_t* c = &down.coefficients[size_t(y) * down.stride];
        const int taps = down.taps[y];
        if (kernel_ == Kernel::Plain) {
            if (bits_ == 8)
                DownPlain<false>(from, c, taps, 0, plane.srcWidth, shift, middle);
            else
                DownPlain<true>(from, c, taps, 0, plane.srcWidth, shift, middle);
            AcrossPlain(middle, plane.across, plane.dstWidth, out + size_t(y) * outStride);
            continue;
        }
#ifdef KALVEX_SHRINK_AVX2
        // An odd last tap is paired with itself under a zero coefficient.
        const int npairs = (taps + 1) / 2;
        rows0_.resize(npairs), rows1_.resize(npairs), pairs_.resize(npairs);
        for (int j = 0; j < npairs; ++j) {
            const int k0 = 2 * j, k1 = std::min(2 * j + 1, taps - 1);
            const int16_t c1 = 2 * j + 1 < taps ? c[k1] : 0;
            rows0_[j] = from[k0];
            rows1_[j] = from[k1];
            pairs_[j] = uint32_t(uint16_t(c[k0])) | uint32_t(uint16_t(c1)) << 16;
        }
        __m256i* sums = reinterpret_cast<__m256i*>(sums_.data());
        const int tail = plane.srcWidth / 16 * 16;
        if (bits_ == 8) {
            DownAvx2<false>(rows0_.data(), rows1_.data(), pairs_.data(), npairs, plane.srcWidth, shift, sums, middle);
            DownPlain<false>(from, c, taps, tail, plane.srcWidth, shift, middle);
        } else {
            DownAvx2<true>(rows0_.data(), rows1_.data(), pairs_.data(), npairs, plane.srcWidth, shift, sums, middle);
            DownPlain<true>(from, c, taps, tail, plane.srcWidth, shift, middle);
        }
        AcrossAvx2(middle, plane.across, plane.dstWidth, out + size_t(y) * outStride);
#endif
    }
}

void Shrink420::Apply(const AVFrame& in, AVFrame& out, const AVFrame* band, int top, int bottom) {
    for (int p = 0; p < 3; ++p) {
        const int s = p ? 1 : 0;  // chroma has half the rows
        std::vector<const uint8_t*>& rows = rows_[p];
        rows.assign(band ? size_t(top >> s) : 0, band ? band->data[p] : nullptr);
        const int height = planes_[s].srcHeight - (band ? (top + bottom) >> s : 0);
        for (int r = 0; r < height; ++r) rows.push_back(in.data[p] + ptrdiff_t(r) * in.linesize[p]);
        if (band) rows.insert(rows.end(), size_t(bottom >> s), band->data[p]);
        ApplyPlane(planes_[s], rows.data(), out.data[p], out.linesize[p]);
    }
}

}  // namespace kalvex::avs
