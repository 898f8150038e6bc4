#include "SubtitleDrawing.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <ass/ass.h>
#include <libavutil/mathematics.h>
}

namespace kalvex::avs {
namespace {

// Limited-range BT.601 YUV of an RGB colour.
struct Yuv {
    int y, u, v;
};
Yuv ToYuv(int r, int g, int b) {
    return {int(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0)),
            int(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0)),
            int(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0))};
}

inline uint8_t Mix(uint8_t under, int over, int alpha) {  // alpha 0..255
    return uint8_t(under + ((over - under) * alpha + 127) / 255);
}

// The picture a subtitle is drawn into: a private copy of the input, which
// upstream filters may still hold.
FramePtr WritableCopy(const FramePtr& in) {
    FramePtr out = NewFrame(in->width, in->height, AVPixelFormat(in->format));
    if (!out) return nullptr;
    if (av_frame_copy(out.get(), in.get()) < 0) return nullptr;
    av_frame_copy_props(out.get(), in.get());
    return out;
}

// libass would print its messages itself; only its errors are of interest,
// and they go where the engine's messages go.
void AssMessage(int level, const char* format, va_list args, void*) {
    if (level > 1) return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    EngineMessage(std::string("libass: ") + text);
}

// One shared libass library: its font set-up (fontconfig) is costly and
// done once; renderers and tracks are per clip.
struct AssGlobal {
    std::mutex lock;
    ASS_Library* library = nullptr;
};
AssGlobal& Ass() {
    static AssGlobal g;
    return g;
}

}  // namespace

void OverlayImage::Draw(AVFrame* f) const {
    for (int j = 0; j < h; ++j) {
        uint8_t* row = f->data[0] + (y + j) * f->linesize[0] + x;
        const uint8_t* a = alpha.data() + size_t(j) * w;
        const uint8_t* c = luma.data() + size_t(j) * w;
        for (int i = 0; i < w; ++i)
            if (a[i]) row[i] = Mix(row[i], c[i], a[i]);
    }
    for (int j = 0; j < ch; ++j) {
        uint8_t* ur = f->data[1] + (cy + j) * f->linesize[1] + cx;
        uint8_t* vr = f->data[2] + (cy + j) * f->linesize[2] + cx;
        const size_t at = size_t(j) * cw;
        for (int i = 0; i < cw; ++i) {
            const int a = chromaAlpha[at + i];
            if (!a) continue;
            ur[i] = Mix(ur[i], u[at + i], a);
            vr[i] = Mix(vr[i], v[at + i], a);
        }
    }
}

FramePtr DrawOverlay(const FramePtr& in, const std::vector<OverlayImage>& images) {
    if (images.empty()) return in;
    FramePtr out = WritableCopy(in);
    if (!out) return in;
    for (const OverlayImage& image : images) image.Draw(out.get());
    return out;
}

int64_t FrameMs(const ClipInfo& info, int64_t n) {
    if (info.fps.num <= 0) return 0;
    return av_rescale(n, int64_t(1000) * info.fps.den, info.fps.num);
}

bool PrepareBitmap(const SubtitleBitmap& b, int sizeX, int sizeY, int W, int H, OverlayImage* out) {
    if (sizeX <= 0 || sizeY <= 0 || W <= 0 || H <= 0 || b.w <= 0 || b.h <= 0 ||
        b.argb.size() < size_t(b.w) * size_t(b.h))
        return false;
    // Clamped to the picture in 64 bits before narrowing: a rectangle far
    // outside it gives an empty range, never a wrapped one.
    const int dx0 = int(std::clamp<int64_t>(b.x * W / sizeX, 0, W));
    const int dy0 = int(std::clamp<int64_t>(b.y * H / sizeY, 0, H));
    const int dx1 = int(std::clamp<int64_t>(((b.x + b.w) * W + sizeX - 1) / sizeX, 0, W));
    const int dy1 = int(std::clamp<int64_t>(((b.y + b.h) * H + sizeY - 1) / sizeY, 0, H));
    if (dx0 >= dx1 || dy0 >= dy1) return false;
    auto pixel = [&](int x, int y) -> uint32_t {
        const int64_t sx = (int64_t(x) * sizeX + sizeX / 2) / W - b.x;
        const int64_t sy = (int64_t(y) * sizeY + sizeY / 2) / H - b.y;
        if (sx < 0 || sy < 0 || sx >= b.w || sy >= b.h) return 0;
        return b.argb[size_t(sy) * size_t(b.w) + size_t(sx)];
    };
    OverlayImage& o = *out;
    o = OverlayImage{};
    o.x = dx0, o.y = dy0, o.w = dx1 - dx0, o.h = dy1 - dy0;
    o.alpha.assign(size_t(o.w) * o.h, 0);
    o.luma.assign(o.alpha.size(), 0);
    o.cx = (dx0 + 1) / 2, o.cy = (dy0 + 1) / 2;
    o.cw = std::max(0, (dx1 + 1) / 2 - o.cx), o.ch = std::max(0, (dy1 + 1) / 2 - o.cy);
    o.chromaAlpha.assign(size_t(o.cw) * o.ch, 0);
    o.u.assign(o.chromaAlpha.size(), 0);
    o.v.assign(o.chromaAlpha.size(), 0);
    for (int y = dy0; y < dy1; ++y) {
        for (int x = dx0; x < dx1; ++x) {
            const uint32_t c = pixel(x, y);
            const int a = int(c >> 24);
            if (!a) continue;
            const Yuv yuv = ToYuv(int((c >> 16) & 0xFF), int((c >> 8) & 0xFF), int(c & 0xFF));
            const size_t at = size_t(y - dy0) * o.w + (x - dx0);
            o.alpha[at] = uint8_t(a);
            o.luma[at] = uint8_t(yuv.y);
            if ((x & 1) == 0 && (y & 1) == 0) {
                const size_t cat = size_t(y / 2 - o.cy) * o.cw + (x / 2 - o.cx);
                o.chromaAlpha[cat] = uint8_t(a);
                o.u[cat] = uint8_t(yuv.u);
                o.v[cat] = uint8_t(yuv.v);
            }
        }
    }
    return true;
}

bool Animated(const std::string& text, const std::string& effect) {
    if (effect.find_first_not_of(" \t\r\n") != std::string::npos) return true;
    static const char* const kTimedTags[] = {"\\t", "\\move", "\\fad", "\\k", "\\K"};
    for (const char* tag : kTimedTags)
        if (text.find(tag) != std::string::npos) return true;
    return false;
}

AssOverlay::AssOverlay(const std::string& who, int width, int height, const std::vector<SubtitleFont>& fonts)
    : width_(width), height_(height) {
    {
        std::lock_guard<std::mutex> g(Ass().lock);
        if (!Ass().library) {
            Ass().library = ass_library_init();
            if (Ass().library) ass_set_message_cb(Ass().library, AssMessage, nullptr);
        }
        if (!Ass().library) throw ScriptError(who + ": the subtitle renderer (libass) could not be started");
        for (const SubtitleFont& font : fonts) {
            std::string name = font.name;
            ass_add_font(Ass().library, name.data(), font.data.data(), int(font.data.size()));
        }
        renderer_ = ass_renderer_init(Ass().library);
        track_ = ass_new_track(Ass().library);
    }
    if (!renderer_ || !track_) {
        std::lock_guard<std::mutex> g(Ass().lock);
        if (track_) ass_free_track(track_);
        if (renderer_) ass_renderer_done(renderer_);
        throw ScriptError(who + ": the subtitle renderer (libass) could not be started");
    }
    // Drawn at the clip's own size: after the scaling to the PSP picture
    // this is the output size, never the source's.
    ass_set_frame_size(renderer_, width_, height_);
    ass_set_storage_size(renderer_, width_, height_);
    ass_set_fonts(renderer_, nullptr, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
}

AssOverlay::~AssOverlay() {
    std::lock_guard<std::mutex> g(Ass().lock);
    if (track_) ass_free_track(track_);
    if (renderer_) ass_renderer_done(renderer_);
}

void AssOverlay::SetHeader(const std::string& header) {
    std::string h = header;
    ass_process_codec_private(track_, h.data(), int(h.size()));
}

void AssOverlay::AddLine(const std::string& chunk, int64_t start, int64_t end, bool animated) {
    if (end <= start) return;
    std::string line = chunk;
    ass_process_chunk(track_, line.data(), int(line.size()), start, end - start);
    events_.push_back({start, end, int(events_.size()), animated});
}

void AssOverlay::Finish() {
    // By start time, with the latest end so far, to find the lines shown at
    // a moment without asking libass.
    std::stable_sort(events_.begin(), events_.end(), [](const Event& a, const Event& b) { return a.start < b.start; });
    int64_t latest = INT64_MIN;
    for (Event& e : events_) latest = e.endSoFar = std::max(latest, e.end);
}

const std::vector<OverlayImage>& AssOverlay::At(int64_t t) {
    // libass shows a line from its start up to, not including, its end.
    bool animated = false;
    active_.clear();
    auto it = std::upper_bound(events_.begin(), events_.end(), t, [](int64_t v, const Event& e) { return v < e.start; });
    while (it != events_.begin()) {
        --it;
        if (it->endSoFar <= t) break;  // nothing further back reaches t
        if (it->end > t) {
            active_.push_back(it->order);
            animated = animated || it->animated;
        }
    }
    if (active_.empty()) return none_;  // nothing shown: the picture goes on untouched
    // The same still lines as the picture drawn last: the same images.
    if (animated || !drawnValid_ || active_ != drawn_) {
        int changed = 0;
        ASS_Image* images = ass_render_frame(renderer_, track_, t, &changed);
        // libass compares with what it drew last, which is always what
        // overlay_ was made from.
        if (changed || !drawnValid_) Prepare(images);
        drawn_ = active_;
        drawnValid_ = true;
    }
    return overlay_;
}

// The images libass drew, as coverage and colour in the picture's planes.
void AssOverlay::Prepare(const ASS_Image* images) {
    overlay_.clear();
    for (const ASS_Image* img = images; img; img = img->next) {
        const int opacity = 255 - int(img->color & 0xFF);
        if (opacity == 0 || img->w <= 0 || img->h <= 0) continue;
        const Yuv c = ToYuv(int(img->color >> 24), int((img->color >> 16) & 0xFF), int((img->color >> 8) & 0xFF));
        const int W = width_, H = height_;
        const int x0 = std::max(img->dst_x, 0), y0 = std::max(img->dst_y, 0);
        const int x1 = std::min(img->dst_x + img->w, W), y1 = std::min(img->dst_y + img->h, H);
        if (x0 >= x1 || y0 >= y1) continue;
        OverlayImage o;
        o.x = x0, o.y = y0, o.w = x1 - x0, o.h = y1 - y0;
        o.alpha.resize(size_t(o.w) * o.h);
        o.luma.assign(o.alpha.size(), uint8_t(c.y));
        auto alphaAt = [&](int x, int y) -> int {
            if (x < x0 || x >= x1 || y < y0 || y >= y1) return 0;
            return img->bitmap[(y - img->dst_y) * img->stride + (x - img->dst_x)] * opacity / 255;
        };
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) o.alpha[size_t(y - y0) * o.w + (x - x0)] = uint8_t(alphaAt(x, y));
        // Chroma (4:2:0): the mean coverage of the four pixels each sample
        // covers.
        o.cx = x0 / 2, o.cy = y0 / 2;
        o.cw = std::min((x1 + 1) / 2, (W + 1) / 2) - o.cx;
        o.ch = std::min((y1 + 1) / 2, (H + 1) / 2) - o.cy;
        o.chromaAlpha.resize(size_t(o.cw) * o.ch);
        o.u.assign(o.chromaAlpha.size(), uint8_t(c.u));
        o.v.assign(o.chromaAlpha.size(), uint8_t(c.v));
        for (int cy = o.cy; cy < o.cy + o.ch; ++cy)
            for (int cx = o.cx; cx < o.cx + o.cw; ++cx)
                o.chromaAlpha[size_t(cy - o.cy) * o.cw + (cx - o.cx)] =
                    uint8_t((alphaAt(2 * cx, 2 * cy) + alphaAt(2 * cx + 1, 2 * cy) + alphaAt(2 * cx, 2 * cy + 1) +
                             alphaAt(2 * cx + 1, 2 * cy + 1) + 2) / 4);
        overlay_.push_back(std::move(o));
    }
}

}  // namespace kalvex::avs
