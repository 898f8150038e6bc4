#pragma once
// One decoded preview picture as plain data, handed from the playback
// graph's streaming thread to whoever draws it, and the rule that places a
// picture inside an area without cutting anything off.
#include <cstdint>
#include <memory>

namespace kalvex {

// A rectangle in a window's client coordinates.
struct VideoRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const VideoRect&) const = default;
};

// The place of a picture of the given display aspect (width / height)
// inside an area of areaWidth x areaHeight: as large as fits, centred, with
// bars above and below or left and right; never larger than the area. An
// aspect that is not a positive finite number gets the whole area.
VideoRect FitRect(int areaWidth, int areaHeight, double aspect);

// A picture of 32-bit pixels, each a native-endian word 0xffRRGGBB (in
// memory B, G, R, 0xff on little-endian machines): what a window toolkit
// draws without converting.
struct PreviewFrame {
    int width = 0;
    int height = 0;
    int stride = 0;      // bytes from one row to the next
    int parN = 1;        // pixel aspect ratio (width of a pixel / its height)
    int parD = 1;
    int64_t time = -1;   // stream time of the picture in 100-ns units, -1 unknown
    const uint8_t* pixels = nullptr;
    // Owns the memory `pixels` points into (a mapped buffer of the graph,
    // or plain memory).
    std::shared_ptr<const void> memory;

    // Width / height of the picture as it is meant to be seen.
    double DisplayAspect() const;
};

using FramePtr = std::shared_ptr<const PreviewFrame>;

}  // namespace kalvex
