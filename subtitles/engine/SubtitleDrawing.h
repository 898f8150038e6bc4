#pragma once
// Drawing subtitles into the clip's YV12 pictures, shared by the subtitle
// filters (TextSub, VobSub, EmbeddedSub) so that a subtitle looks the same
// whichever way it reaches the picture: text lines drawn by libass at the
// clip's size, subtitle pictures scaled from their own canvas to the clip's
// size. Private to the subtitle filter library.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Clip.h"

struct ass_image;
struct ass_renderer;
struct ass_track;

namespace kalvex::avs {

// One subtitle image prepared for drawing into a YV12 picture: per luma
// pixel its coverage and value, per chroma sample its coverage and U, V,
// all inside the picture. Made once when the subtitle changes and drawn
// into every frame that shows it, so a line on screen for seconds costs
// only the mixing of its own rectangle per frame.
struct OverlayImage {
    int x = 0, y = 0, w = 0, h = 0;  // luma rectangle
    std::vector<uint8_t> alpha, luma;
    int cx = 0, cy = 0, cw = 0, ch = 0;  // chroma rectangle
    std::vector<uint8_t> chromaAlpha, u, v;

    void Draw(AVFrame* f) const;
};

// The picture with the images drawn in: a private copy of the input, which
// upstream filters may still hold; the input itself when nothing is drawn.
FramePtr DrawOverlay(const FramePtr& in, const std::vector<OverlayImage>& images);

// Milliseconds from the start of the clip to frame n.
int64_t FrameMs(const ClipInfo& info, int64_t n);

// A filter that draws over the picture: sound and clip properties go
// through unchanged.
class VideoFilter : public Clip {
public:
    explicit VideoFilter(ClipPtr child) : child_(std::move(child)) { info_ = child_->Info(); }
    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override { child_->GetAudio(buffer, start, count); }

protected:
    ClipPtr child_;
};

// A subtitle picture as straight ARGB (alpha already applied) at its place
// on the subtitle's own canvas. The place may come from damaged data and
// lie anywhere: kept in 64 bits.
struct SubtitleBitmap {
    int64_t x = 0, y = 0;
    int w = 0, h = 0;
    std::vector<uint32_t> argb;
};

// A bitmap on a canvasWidth x canvasHeight canvas, prepared for a picture
// of width x height: each picture pixel takes the nearest subtitle pixel,
// each chroma sample the subtitle pixel of its top left luma pixel. What
// lies outside the picture is cut off. False when nothing of it is inside.
bool PrepareBitmap(const SubtitleBitmap& b, int canvasWidth, int canvasHeight, int width, int height,
                   OverlayImage* out);

// A font for libass, as the subtitle carries it.
struct SubtitleFont {
    std::string name;
    std::string data;
};

// Text lines drawn by libass into pictures of one size. Lines are handed
// over in the chunk form of an ASS event ("ReadOrder,Layer,Style,Name,
// MarginL,MarginR,MarginV,Effect,Text") with their time span; the images
// for a moment are drawn anew only when the lines shown change or move.
class AssOverlay {
public:
    // Starts libass for pictures of width x height with the fonts given
    // (added to the shared library before the renderer looks for fonts).
    // Throws ScriptError naming `who` when libass cannot be started.
    AssOverlay(const std::string& who, int width, int height, const std::vector<SubtitleFont>& fonts);
    ~AssOverlay();
    AssOverlay(const AssOverlay&) = delete;
    AssOverlay& operator=(const AssOverlay&) = delete;

    // The script's header: script information and styles.
    void SetHeader(const std::string& header);
    // A line shown from start up to, not including, end (milliseconds).
    // animated: libass draws it differently as time goes on (see Animated).
    void AddLine(const std::string& chunk, int64_t start, int64_t end, bool animated);
    // After the last line, before the first At.
    void Finish();
    // The images of the lines shown at time t (ms); empty when none is.
    const std::vector<OverlayImage>& At(int64_t t);

private:
    struct Event {
        int64_t start, end;  // ms, as handed to libass
        int order;           // the order the line was added in
        bool animated;
        int64_t endSoFar = 0;  // the latest end among this line and those before it
    };
    void Prepare(const ass_image* images);

    int width_, height_;
    ass_renderer* renderer_ = nullptr;
    ass_track* track_ = nullptr;
    std::vector<Event> events_;
    std::vector<int> active_;  // lines shown at the time asked for
    std::vector<int> drawn_;   // lines overlay_ was drawn for
    bool drawnValid_ = false;
    std::vector<OverlayImage> overlay_;
    const std::vector<OverlayImage> none_;
};

// True when libass draws the line differently as time goes on: fades,
// moves, transforms and karaoke among its override tags, or a scrolling
// effect. Such a line is drawn anew for every frame; any other line looks
// the same for as long as it is shown. A false alarm only costs time.
bool Animated(const std::string& text, const std::string& effect);

}  // namespace kalvex::avs
