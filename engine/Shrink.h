#pragma once
// The bicubic shrink of planar 4:2:0 pictures to a smaller 8-bit 4:2:0
// picture, the work of every conversion's BicubicResize from an HD source.
//
// libswscale filters every source row across first and then down. Shrinking
// 1920x1080 to 368x208 that is 1080 rows of a 24-tap dot product per output
// sample, in its SSE kernels. This shrink filters down first, where one
// coefficient multiplies a whole row and sixteen samples go through an AVX2
// instruction at once, and only then across, on the few output rows.
//
// The filter is the Mitchell-Netravali family of cubics (B and C as the
// script gives them), stretched by the shrink's ratio, with libswscale's
// geometry: sample centres aligned, chroma sited in the centre of its luma
// samples, the edge samples repeated. Its coefficients are 14-bit, summing
// to exactly 1 (a flat picture stays flat), and the rows between the two
// passes keep six bits below the 8-bit level: each sample is the filter's
// exact sum, rounded once. That lies within a level of libswscale's from
// 8-bit sources, and within two from deeper ones, which libswscale dithers
// as it narrows them.
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace kalvex::avs {

class Shrink420 {
public:
    // Which kernel does the work: AVX2 where the processor has it, else
    // plain C++ (the same numbers, to the bit).
    enum class Kernel { Best, Plain };

    // The kernel that does the work when `kernel` is asked for: Best is
    // Plain on a processor without AVX2.
    static Kernel Resolve(Kernel kernel);

    // True when this shrink makes the picture, and faster than libswscale:
    // with the AVX2 kernel (the plain one is the reference the tests hold
    // it to, several times slower than libswscale), from a planar 4:2:0
    // source of 8 to 12 bits (limited range; full range is not its
    // business), to an even size at least two and a half times smaller
    // across and down. The constructor takes any smaller even size.
    static bool Handles(int srcWidth, int srcHeight, AVPixelFormat format, int dstWidth, int dstHeight,
                        Kernel kernel = Kernel::Best);

    // The destination must be even in size and smaller than the source in
    // both directions (Handles says where this shrink pays); the format one
    // Handles names. b and c are the cubic's B and C.
    Shrink420(int srcWidth, int srcHeight, AVPixelFormat format, int dstWidth, int dstHeight, double b, double c,
              Kernel kernel = Kernel::Best);

    // Shrinks a picture of the source's size and format into out (8-bit
    // 4:2:0 of the destination size). With a band, the source is a
    // letterbox: `in` framed by `top` rows above and `bottom` below (even
    // counts), every one of them the band's first row, so the boxed picture
    // is never copied together.
    void Apply(const AVFrame& in, AVFrame& out, const AVFrame* band = nullptr, int top = 0, int bottom = 0);

    // The kernel in use.
    Kernel KernelInUse() const { return kernel_; }

    // One direction's filter: for output sample i, taps[i] samples from
    // first[i] on, weighted by coefficients[i * stride ...] (14-bit, summing
    // to 16384). Public so that tests can check its sums and its edges.
    struct Filter {
        std::vector<int> first;
        std::vector<int> taps;
        int stride = 0;
        std::vector<int16_t> coefficients;
    };
    static Filter MakeFilter(int srcSize, int dstSize, double b, double c, int align);

private:
    struct Plane {
        int srcWidth, srcHeight, dstWidth, dstHeight;
        Filter across, down;
    };
    // rows holds the address of each of the plane's source rows, top to
    // bottom; one address may stand for many rows.
    void ApplyPlane(const Plane& plane, const uint8_t* const* rows, uint8_t* out, int outStride);

    Plane planes_[2];  // luma, then chroma (both chroma planes share it)
    int bits_;
    Kernel kernel_;
    std::vector<int16_t> middle_;  // one row filtered down, before across
    // The AVX2 kernel's 32-bit sums of one row, sixteen samples a vector
    // (32-byte aligned: the vectors live in it).
    struct alignas(32) Vector {
        int32_t lanes[8];
    };
    std::vector<Vector> sums_;
    std::vector<const uint8_t*> rows_[3];  // each plane's source rows
    // The AVX2 kernel's rows and coefficients of one output row, by pairs.
    std::vector<const uint8_t*> rows0_, rows1_;
    std::vector<uint32_t> pairs_;
};

}  // namespace kalvex::avs
