// The filters of the script engine and the helpers every clip shares.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/Clip.h"
#include "engine/Colour.h"
#include "engine/Shrink.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace kalvex::avs {

FramePtr WrapFrame(AVFrame* frame) {
    if (!frame) return nullptr;
    return FramePtr(frame, FrameDeleter());
}

int64_t ClipInfo::SamplesFromFrames(int64_t frames) const {
    if (fps.num <= 0) return 0;
    return av_rescale_rnd(frames, int64_t(sampleRate) * fps.den, fps.num, AV_ROUND_DOWN);
}

bool IsYV12(AVPixelFormat format) { return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P; }

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

FramePtr NewFrame(int width, int height, AVPixelFormat format) {
    AVFrame* f = av_frame_alloc();
    if (!f) return nullptr;
    f->width = width;
    f->height = height;
    f->format = format;
    if (av_frame_get_buffer(f, 0) < 0) {
        av_frame_free(&f);
        return nullptr;
    }
    return WrapFrame(f);
}

FramePtr BlackFrame(int width, int height, AVPixelFormat format, AVColorRange range) {
    FramePtr f = NewFrame(std::max(width, 2), std::max(height, 2), format);
    if (!f) return nullptr;
    ptrdiff_t lines[4];
    for (int i = 0; i < 4; ++i) lines[i] = f->linesize[i];
    if (range != AVCOL_RANGE_JPEG) range = AVCOL_RANGE_MPEG;
    if (av_image_fill_black(f->data, lines, format, range, f->width, f->height) < 0) {
        for (int i = 0; i < AV_NUM_DATA_POINTERS && f->buf[i]; ++i) std::memset(f->buf[i]->data, 0, f->buf[i]->size);
    }
    return f;
}

AVRational RateFromDouble(double fps) {
    // NTSC rates are written as "%f" texts of n * 1000 / 1001.
    double k = fps * 1001.0 / 1000.0;
    long long n = std::llround(k);
    // Also the shorter texts of those rates ("29.970000", "23.976000").
    if (n > 0 && std::fabs(k - double(n)) < 1e-4 && std::fabs(fps - std::round(fps)) > 1e-6)
        return AVRational{int(n * 1000), 1001};
    if (std::fabs(fps - std::round(fps)) < 1e-6) return AVRational{int(std::llround(fps)), 1};
    return av_d2q(fps, 1000000);
}

namespace {

// A filter that only changes the picture: audio goes through unchanged.
class VideoFilter : public Clip {
public:
    explicit VideoFilter(ClipPtr child) : child_(std::move(child)) { info_ = child_->Info(); }
    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override { child_->GetAudio(buffer, start, count); }

protected:
    // A repeated source picture (ChangeFPS, Trim edges, still parts) is
    // processed once: the last input and its result are remembered.
    FramePtr Cached(const FramePtr& in) const { return in && in == lastIn_ ? lastOut_ : nullptr; }
    // A picture made from a stand-in for an unreadable frame is one too.
    FramePtr Remember(FramePtr in, FramePtr out) {
        if (in && out) out->flags |= in->flags & AV_FRAME_FLAG_CORRUPT;
        lastIn_ = std::move(in);
        lastOut_ = out;
        return out;
    }
    ClipPtr child_;
    FramePtr lastIn_, lastOut_;
};

void RequireVideo(const ClipPtr& c, const char* name) {
    if (!c->Info().hasVideo) throw ScriptError(std::string(name) + ": the clip has no video");
}

void RequireYV12(const ClipPtr& c, const char* name) {
    RequireVideo(c, name);
    if (!IsYV12(c->Info().pixelFormat)) throw ScriptError(std::string(name) + ": YV12 input only (use ConvertToYV12 first)");
}

// ---- ConvertToYV12 ----
class ConvertToYV12Clip : public VideoFilter {
public:
    explicit ConvertToYV12Clip(ClipPtr child) : VideoFilter(std::move(child)) {
        info_.width &= ~1;  // 4:2:0 needs even sizes: drop an odd last column or row
        info_.height &= ~1;
        if (info_.width < 2 || info_.height < 2) throw ScriptError("ConvertToYV12: the picture is too small");
        const ClipInfo& c = child_->Info();
        AVPixelFormat in = c.pixelFormat;
        info_.pixelFormat = IsYV12(in) ? in : AV_PIX_FMT_YUV420P;
        // The matrix is settled here, on the source's own size: a guess made
        // later, on a picture with borders or rescaled, could differ.
        info_.colorSpace = MatrixOf(c);
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(in);
        // A deeper 4:2:0 picture of even size only has its numbers narrowed
        // to 8 bits here: a resize above can take it over (see Narrowing).
        onlyNarrows_ = d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) && d->nb_components >= 3 &&
                       d->log2_chroma_w == 1 && d->log2_chroma_h == 1 && d->comp[0].depth > 8 &&
                       !IsFullRangeFormat(in) && info_.width == c.width && info_.height == c.height;
        if (!IsYV12(in) && d) {
            // The scaler makes limited-range numbers from full-range YUV
            // (the yuvj layouts) and grey, and BT.601 ones from RGB; other
            // YUV keeps its matrix and range.
            const bool rgb = d->flags & AV_PIX_FMT_FLAG_RGB;
            if (rgb) info_.colorSpace = AVCOL_SPC_SMPTE170M;
            if (rgb || d->nb_components < 3 || IsFullRangeFormat(in))
                info_.colorRange = AVCOL_RANGE_MPEG;
        }
    }
    ~ConvertToYV12Clip() override { sws_freeContext(sws_); }
    bool OnlyNarrows() const { return onlyNarrows_; }
    const ClipPtr& Input() const { return child_; }
    FramePtr GetFrame(int64_t n) override {
        FramePtr in = child_->GetFrame(n);
        if (!in) return nullptr;
        if (IsYV12(AVPixelFormat(in->format)) && in->format == info_.pixelFormat) {
            if (in->width == info_.width && in->height == info_.height) return in;
            if (FramePtr c = Cached(in)) return c;
            // Same planes, one column or row less: a new reference, no copy.
            AVFrame* ref = av_frame_clone(in.get());
            if (!ref) return nullptr;
            ref->width = info_.width;
            ref->height = info_.height;
            return Remember(in, WrapFrame(ref));
        }
        if (FramePtr c = Cached(in)) return c;
        sws_ = sws_getCachedContext(sws_, info_.width, info_.height, AVPixelFormat(in->format), info_.width, info_.height,
                                    info_.pixelFormat, SWS_BICUBIC, nullptr, nullptr, nullptr);
        FramePtr out = NewFrame(info_.width, info_.height, info_.pixelFormat);
        if (!sws_ || !out) {
            FramePtr black = BlackFrame(info_.width, info_.height, info_.pixelFormat);
            if (black) black->flags |= AV_FRAME_FLAG_CORRUPT;  // not the picture asked for
            return black;
        }
        sws_scale(sws_, in->data, in->linesize, 0, info_.height, out->data, out->linesize);
        return Remember(in, out);
    }

private:
    SwsContext* sws_ = nullptr;
    bool onlyNarrows_ = false;
};

// The ConvertToYV12 a clip is, when all it does is narrow a deeper 4:2:0
// picture (a 10-bit 4K source, say) to 8 bits; null otherwise. A resize
// right above such a conversion scales the deeper picture itself and
// narrows it in the same pass, which saves a pass over every whole picture
// (on 4K, a tenth of the conversion's processor time) and keeps the deeper
// numbers for the scaling. Filters that only pick frames or work on the
// sound are put beneath the conversion, so that it stays right below the
// resize in the conversion's script.
const ConvertToYV12Clip* Narrowing(const ClipPtr& clip) {
    const auto* c = dynamic_cast<const ConvertToYV12Clip*>(clip.get());
    return c && c->OnlyNarrows() ? c : nullptr;
}

// ---- ChangeFPS ----
class ChangeFPSClip : public VideoFilter {
public:
    ChangeFPSClip(ClipPtr child, AVRational fps) : VideoFilter(std::move(child)) {
        const ClipInfo& c = child_->Info();
        info_.fps = fps;
        // length = round(old length x new / old)
        info_.frameCount = av_rescale_rnd(c.frameCount, int64_t(fps.num) * c.fps.den, int64_t(fps.den) * c.fps.num,
                                          AV_ROUND_NEAR_INF);
    }
    FramePtr GetFrame(int64_t n) override {
        const ClipInfo& c = child_->Info();
        n = std::clamp<int64_t>(n, 0, std::max<int64_t>(info_.frameCount - 1, 0));
        // source frame = floor(n x old / new)
        int64_t src = av_rescale_rnd(n, int64_t(c.fps.num) * info_.fps.den, int64_t(c.fps.den) * info_.fps.num, AV_ROUND_DOWN);
        return child_->GetFrame(src);
    }
};

// ---- Trim ----
class TrimClip : public Clip {
public:
    TrimClip(ClipPtr child, int64_t first, int64_t last) : child_(std::move(child)) {
        info_ = child_->Info();
        const int64_t count = info_.frameCount;
        // AviSynth's rules: last 0 = to the end, last < 0 = -last frames.
        first = std::clamp<int64_t>(first, 0, std::max<int64_t>(count - 1, 0));
        if (last == 0)
            last = count - 1;
        else if (last < 0)
            last = first - last - 1;
        last = std::min(last, count - 1);
        first_ = first;
        info_.frameCount = std::max<int64_t>(last - first + 1, 0);
        if (info_.hasAudio) {
            audioStart_ = info_.SamplesFromFrames(first);
            info_.sampleCount = std::max<int64_t>(info_.SamplesFromFrames(last + 1) - audioStart_, 0);
        }
    }
    FramePtr GetFrame(int64_t n) override {
        n = std::clamp<int64_t>(n, 0, std::max<int64_t>(info_.frameCount - 1, 0));
        return child_->GetFrame(first_ + n);
    }
    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override {
        if (count <= 0) return;
        // Nothing beyond the cut: samples past its end are silence.
        int64_t inside = std::clamp<int64_t>(info_.sampleCount - start, 0, count);
        if (inside < count) std::memset(buffer, 0, size_t(count) * info_.BytesPerSample());
        if (start < 0) {
            // Before the cut is silence too.
            int64_t skip = std::min(-start, count);
            std::memset(buffer, 0, size_t(skip) * info_.BytesPerSample());
            buffer += skip * info_.channels;
            start += skip;
            count -= skip;
            inside = std::clamp<int64_t>(info_.sampleCount - start, 0, count);
        }
        if (inside > 0) child_->GetAudio(buffer, audioStart_ + start, inside);
    }

private:
    ClipPtr child_;
    int64_t first_ = 0;
    int64_t audioStart_ = 0;
};

// ---- ResampleAudio ----
class ResampleAudioClip : public Clip {
public:
    ResampleAudioClip(ClipPtr child, int rate) : child_(std::move(child)) {
        info_ = child_->Info();
        const ClipInfo& c = child_->Info();
        info_.sampleRate = rate;
        info_.sampleCount = av_rescale_rnd(c.sampleCount, rate, c.sampleRate, AV_ROUND_NEAR_INF);
        AVChannelLayout layout{};
        av_channel_layout_default(&layout, c.channels);
        int r = swr_alloc_set_opts2(&swr_, &layout, AV_SAMPLE_FMT_S16, rate, &layout, AV_SAMPLE_FMT_S16, c.sampleRate, 0,
                                    nullptr);
        av_channel_layout_uninit(&layout);
        if (r < 0 || swr_init(swr_) < 0) {
            swr_free(&swr_);
            throw ScriptError("ResampleAudio: cannot resample from " + std::to_string(c.sampleRate) + " Hz to " +
                              std::to_string(rate) + " Hz");
        }
    }
    ~ResampleAudioClip() override { swr_free(&swr_); }
    FramePtr GetFrame(int64_t n) override { return child_->GetFrame(n); }

    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override {
        if (count <= 0) return;
        const int ch = info_.channels;
        std::memset(buffer, 0, size_t(count) * ch * sizeof(int16_t));
        int64_t from = std::max<int64_t>(start, 0), to = std::min(start + count, info_.sampleCount);
        if (from >= to) return;
        if (from < outStart_ || from > OutEnd() + int64_t(info_.sampleRate) * 5) Reset(from);
        while (OutEnd() < to && Feed()) {
        }
        int64_t a = std::max(from, outStart_), b = std::min(to, OutEnd());
        if (a < b) std::memcpy(buffer + (a - start) * ch, out_.data() + (a - outStart_) * ch, size_t(b - a) * ch * 2);
        int64_t drop = std::min(from, OutEnd()) - outStart_;
        if (drop > 0) {
            out_.erase(out_.begin(), out_.begin() + drop * ch);
            outStart_ += drop;
        }
    }

private:
    int64_t OutEnd() const { return outStart_ + int64_t(out_.size()) / info_.channels; }

    void Reset(int64_t outSample) {
        const ClipInfo& c = child_->Info();
        const int r = swr_init(swr_);  // forget the converter's history
        if (r < 0) throw ReadError("ResampleAudio: restarting the conversion failed: " + AvError(r));
        inPos_ = av_rescale_rnd(outSample, c.sampleRate, info_.sampleRate, AV_ROUND_DOWN);
        outStart_ = av_rescale_rnd(inPos_, info_.sampleRate, c.sampleRate, AV_ROUND_NEAR_INF);
        out_.clear();
        flushed_ = false;
    }

    // Converts one block of the child's audio; false when all is out.
    bool Feed() {
        if (flushed_) return false;
        const ClipInfo& c = child_->Info();
        const int ch = info_.channels;
        constexpr int kBlock = 8192;
        int64_t n = std::min<int64_t>(kBlock, c.sampleCount - inPos_);
        int outMax = swr_get_out_samples(swr_, int(std::max<int64_t>(n, 0)));
        if (outMax < 0) throw ReadError("ResampleAudio: the conversion failed: " + AvError(outMax));
        outMax += 64;
        // The child's sound first: when it cannot be read, nothing here
        // has changed.
        if (n > 0) {
            in_.resize(size_t(n) * ch);
            child_->GetAudio(in_.data(), inPos_, n);
        }
        size_t old = out_.size();
        out_.resize(old + size_t(outMax) * ch);
        uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(out_.data() + old)};
        int got;
        if (n > 0) {
            const uint8_t* inPlanes[1] = {reinterpret_cast<const uint8_t*>(in_.data())};
            got = swr_convert(swr_, outPlanes, outMax, inPlanes, int(n));
            inPos_ += n;
        } else {
            got = swr_convert(swr_, outPlanes, outMax, nullptr, 0);  // drain
            flushed_ = true;
        }
        out_.resize(old + size_t(std::max(got, 0)) * ch);
        if (got < 0) throw ReadError("ResampleAudio: the conversion failed: " + AvError(got));
        return got > 0 || !flushed_;
    }

    ClipPtr child_;
    SwrContext* swr_ = nullptr;
    int64_t inPos_ = 0;
    int64_t outStart_ = 0;
    std::vector<int16_t> out_;
    std::vector<int16_t> in_;
    bool flushed_ = false;
};

// ---- AddBorders ----
class AddBordersClip : public VideoFilter {
public:
    AddBordersClip(ClipPtr child, int l, int t, int r, int b)
        : VideoFilter(std::move(child)), l_(l), t_(t), r_(r), b_(b) {
        info_.width += l + r;
        info_.height += t + b;
        if (info_.width > 16384 || info_.height > 16384) throw ScriptError("AddBorders: the picture would be too large");
        // Black is 0 in full-range numbers, 16 in limited ones.
        black_ = IsFullRange(info_) ? 0 : 16;
    }
    FramePtr GetFrame(int64_t n) override {
        FramePtr in = child_->GetFrame(n);
        if (!in) return nullptr;
        if (FramePtr c = Cached(in)) return c;
        FramePtr out = NewFrame(info_.width, info_.height, info_.pixelFormat);
        if (!out) return nullptr;
        for (int p = 0; p < 3; ++p) {
            const int shift = p ? 1 : 0;
            const uint8_t fill = p ? 128 : black_;
            const int ow = info_.width >> shift, oh = info_.height >> shift;
            const int iw = std::min(in->width >> shift, ow), ih = in->height >> shift;
            const int left = l_ >> shift, top = t_ >> shift;
            uint8_t* dst = out->data[p];
            const int dls = out->linesize[p];
            for (int y = 0; y < oh; ++y) {
                uint8_t* row = dst + y * dls;
                int sy = y - top;
                if (sy < 0 || sy >= ih) {
                    std::memset(row, fill, ow);
                    continue;
                }
                std::memset(row, fill, left);
                std::memcpy(row + left, in->data[p] + sy * in->linesize[p], std::min(iw, ow - left));
                int rest = ow - left - iw;
                if (rest > 0) std::memset(row + left + iw, fill, rest);
            }
        }
        return Remember(in, out);
    }

    const ClipPtr& Source() const { return child_; }
    bool OnlyTopAndBottom() const { return l_ == 0 && r_ == 0; }
    int Top() const { return t_; }
    int Bottom() const { return b_; }

private:
    int l_, t_, r_, b_;
    uint8_t black_ = 16;
};

// ---- BicubicResize, LanczosResize ----
// The scaling kernel of a resize: libswscale's flag and its two parameters
// (bicubic: B and C; Lanczos: the taps).
struct ResizeKernel {
    const char* name;  // the script function, for its messages
    int flags;
    double params[2];
};

class BicubicResizeClip : public VideoFilter {
public:
    BicubicResizeClip(ClipPtr child, int w, int h, const ResizeKernel& kernel) : VideoFilter(std::move(child)) {
        const std::string name = kernel.name;
        const ClipInfo& in = child_->Info();
        info_.width = w;
        info_.height = h;
        // The scaled picture is standard definition: BT.601, limited range.
        info_.pixelFormat = AV_PIX_FMT_YUV420P;
        info_.colorSpace = AVCOL_SPC_SMPTE170M;
        info_.colorRange = AVCOL_RANGE_MPEG;
        double params[2] = {kernel.params[0], kernel.params[1]};
        sws_ = sws_getContext(in.width, in.height, in.pixelFormat, w, h, info_.pixelFormat, kernel.flags, nullptr, nullptr,
                              params);
        if (!sws_) throw ScriptError(name + ": cannot scale " + std::to_string(in.width) + "x" + std::to_string(in.height) +
                                     " to " + std::to_string(w) + "x" + std::to_string(h));
        // Full range becomes limited in the scaling pass itself. Both tables
        // are the same: the scaler would otherwise go through RGB at a cost,
        // and not at all for the bands of a letterboxed picture.
        if (IsFullRange(in)) {
            const int* table = sws_getCoefficients(SWS_CS_DEFAULT);
            const int r = sws_setColorspaceDetails(sws_, table, 1, table, 0, 0, 1 << 16, 1 << 16);
            if (r < 0) {
                sws_freeContext(sws_);
                throw ScriptError(name + ": cannot convert full-range pictures to limited range: " + AvError(r));
            }
        }
        // Another matrix is converted on the scaled picture, where it costs
        // the least.
        if (const AVColorSpace m = MatrixOf(in); m != AVCOL_SPC_SMPTE170M) toBt601_.emplace(m, false);
        // A bicubic shrink of a limited-range 4:2:0 picture is the engine's
        // own, faster than libswscale's; the scaler stays for the rest.
        if (kernel.flags == SWS_BICUBIC && !IsFullRange(in) && Shrink420::Handles(in.width, in.height, in.pixelFormat, w, h))
            shrink_.emplace(in.width, in.height, in.pixelFormat, w, h, kernel.params[0], kernel.params[1]);
        LetterboxFromBorders();
    }
    ~BicubicResizeClip() override { sws_freeContext(sws_); }
    FramePtr GetFrame(int64_t n) override {
        FramePtr in;
        bool banded = false;
        if (letterboxed_) {
            in = letterboxed_->GetFrame(n);
            if (!in) return nullptr;
            // A picture of another size than the clip's is boxed by the
            // borders filter itself, which handles any size.
            banded = in->width == letterboxed_->Info().width && in->height == letterboxed_->Info().height;
        }
        if (!banded) in = child_->GetFrame(n);
        if (!in) return nullptr;
        if (FramePtr c = Cached(in)) return c;
        FramePtr out = NewFrame(info_.width, info_.height, info_.pixelFormat);
        if (!out) return nullptr;
        const ClipInfo& source = child_->Info();
        if (banded)
            ScaleLetterboxed(*in, *out);
        else if (shrink_ && in->width == source.width && in->height == source.height && in->format == source.pixelFormat)
            shrink_->Apply(*in, *out);
        else
            sws_scale(sws_, in->data, in->linesize, 0, source.height, out->data, out->linesize);
        if (toBt601_) toBt601_->Apply(*out);
        out->colorspace = info_.colorSpace;
        out->color_range = info_.colorRange;
        return Remember(in, out);
    }

private:
    // A picture boxed by borders above and below only (the script's
    // letterbox) is scaled without first being copied into the boxed
    // picture: the scaler takes it in three bands from top to bottom, the
    // black band above, the picture, the black band below. It sees the same
    // rows as from the boxed picture, so the result is the same to the bit,
    // and a 1920x800 source saves the copy of a 1920x1080 picture each time.
    void LetterboxFromBorders() {
        auto* borders = dynamic_cast<AddBordersClip*>(child_.get());
        if (!borders || !borders->OnlyTopAndBottom()) return;
        const ClipInfo& in = borders->Source()->Info();
        // Each band must start on a row shared by luma and chroma.
        if ((in.height & 1) || (borders->Top() & 1) || in.pixelFormat != child_->Info().pixelFormat) return;
        // Black as the borders filter fills it: luma 16, chroma 128.
        band_ = BlackFrame(in.width, std::max(borders->Top(), borders->Bottom()), in.pixelFormat,
                           IsFullRange(in) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG);
        if (!band_) return;
        top_ = borders->Top();
        bottom_ = borders->Bottom();
        letterboxed_ = borders->Source();
    }

    void ScaleLetterboxed(const AVFrame& in, AVFrame& out) {
        const int height = in.height;
        if (shrink_) {
            shrink_->Apply(in, out, band_.get(), top_, bottom_);
            return;
        }
        if (top_ > 0) sws_scale(sws_, band_->data, band_->linesize, 0, top_, out.data, out.linesize);
        sws_scale(sws_, in.data, in.linesize, top_, height, out.data, out.linesize);
        if (bottom_ > 0) sws_scale(sws_, band_->data, band_->linesize, top_ + height, bottom_, out.data, out.linesize);
    }

    SwsContext* sws_ = nullptr;
    std::optional<Shrink420> shrink_;  // set when the engine's own shrink does the work
    std::optional<ToBt601> toBt601_;  // set when the source's matrix is not BT.601
    ClipPtr letterboxed_;  // the picture inside the borders, when scaled in bands
    FramePtr band_;        // black rows for the bands above and below
    int top_ = 0, bottom_ = 0;
};

// ---- The colour conversion of a picture that keeps its size ----
// The scaler's conversion to BT.601 limited range, for a picture that is
// already of the size asked for.
class ToBt601Clip : public VideoFilter {
public:
    explicit ToBt601Clip(ClipPtr child)
        : VideoFilter(std::move(child)), convert_(MatrixOf(child_->Info()), IsFullRange(child_->Info())) {
        inRange_ = IsFullRange(child_->Info()) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        info_.pixelFormat = AV_PIX_FMT_YUV420P;
        info_.colorSpace = AVCOL_SPC_SMPTE170M;
        info_.colorRange = AVCOL_RANGE_MPEG;
    }
    FramePtr GetFrame(int64_t n) override {
        FramePtr in = child_->GetFrame(n);
        if (!in) return nullptr;
        if (FramePtr c = Cached(in)) return c;
        if (!IsYV12(AVPixelFormat(in->format))) return in;
        FramePtr out = BlackFrame(info_.width, info_.height, info_.pixelFormat, inRange_);
        if (!out) return nullptr;
        // A picture of another size than the clip's keeps what fits.
        for (int p = 0; p < 3; ++p) {
            const int shift = p ? 1 : 0;
            const int w = (std::min(in->width, info_.width) + shift) >> shift;
            const int h = (std::min(in->height, info_.height) + shift) >> shift;
            av_image_copy_plane(out->data[p], out->linesize[p], in->data[p], in->linesize[p], w, h);
        }
        convert_.Apply(*out);
        return Remember(in, out);
    }

private:
    ToBt601 convert_;
    AVColorRange inRange_;  // black in the input's numbers, for what no input covers
};

}  // namespace

ClipPtr ConvertToYV12(ClipPtr child) {
    if (!child->Info().hasVideo) return child;  // nothing to convert in a sound-only clip
    return std::make_shared<ConvertToYV12Clip>(std::move(child));
}

ClipPtr ChangeFPS(ClipPtr child, AVRational fps) {
    RequireVideo(child, "ChangeFPS");
    if (fps.num <= 0 || fps.den <= 0) throw ScriptError("ChangeFPS: the frame rate must be greater than 0");
    if (av_cmp_q(fps, child->Info().fps) == 0) return child;
    if (const ConvertToYV12Clip* c = Narrowing(child))
        return std::make_shared<ConvertToYV12Clip>(std::make_shared<ChangeFPSClip>(c->Input(), fps));
    return std::make_shared<ChangeFPSClip>(std::move(child), fps);
}

ClipPtr Trim(ClipPtr child, int64_t first, int64_t last) {
    RequireVideo(child, "Trim");
    if (const ConvertToYV12Clip* c = Narrowing(child))
        return std::make_shared<ConvertToYV12Clip>(std::make_shared<TrimClip>(c->Input(), first, last));
    return std::make_shared<TrimClip>(std::move(child), first, last);
}

ClipPtr ResampleAudio(ClipPtr child, int rate) {
    if (rate <= 0 || rate > 384000) throw ScriptError("ResampleAudio: the sample rate must be between 1 and 384000");
    if (!child->Info().hasAudio || child->Info().sampleRate == rate) return child;
    if (const ConvertToYV12Clip* c = Narrowing(child))
        return std::make_shared<ConvertToYV12Clip>(std::make_shared<ResampleAudioClip>(c->Input(), rate));
    return std::make_shared<ResampleAudioClip>(std::move(child), rate);
}

ClipPtr AddBorders(ClipPtr child, int left, int top, int right, int bottom) {
    RequireYV12(child, "AddBorders");
    // 4:2:0 needs even borders; negative borders add nothing.
    auto even = [](int v) { return v > 0 ? v & ~1 : 0; };
    left = even(left), top = even(top), right = even(right), bottom = even(bottom);
    if (!left && !top && !right && !bottom) return child;
    return std::make_shared<AddBordersClip>(std::move(child), left, top, right, bottom);
}

namespace {
ClipPtr Resize(ClipPtr child, int width, int height, const ResizeKernel& kernel) {
    const std::string name = kernel.name;
    RequireYV12(child, kernel.name);
    width &= ~1;  // 4:2:0 needs even sizes
    height &= ~1;
    if (width < 2 || height < 2 || width > 16384 || height > 16384)
        throw ScriptError(name + ": the size must be between 2 and 16384");
    if (width == child->Info().width && height == child->Info().height) {
        // No scaling, but the numbers still end as BT.601 limited range.
        if (!NeedsBt601(child->Info())) return child;
        return std::make_shared<ToBt601Clip>(std::move(child));
    }
    if (const ConvertToYV12Clip* c = Narrowing(child))
        return std::make_shared<BicubicResizeClip>(c->Input(), width, height, kernel);
    return std::make_shared<BicubicResizeClip>(std::move(child), width, height, kernel);
}
}  // namespace

ClipPtr BicubicResize(ClipPtr child, int width, int height) {
    return Resize(std::move(child), width, height, ResizeKernel{"BicubicResize", SWS_BICUBIC, {1.0 / 3, 1.0 / 3}});
}

ClipPtr LanczosResize(ClipPtr child, int width, int height) {
    return Resize(std::move(child), width, height, ResizeKernel{"LanczosResize", SWS_LANCZOS, {3, 0}});
}

}  // namespace kalvex::avs
