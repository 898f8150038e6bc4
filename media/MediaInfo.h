#pragma once
#include <cstddef>
#include <cstdint>

namespace kalvex {

// The properties of a source found when it is examined. A plain record of
// exactly 64 bytes, stored raw inside VideoFileEntry (and so in filesv2.dat),
// little-endian; the offsets below are part of that file format.
struct MediaInfo {
    char videoFormat[10];  // type code of the video stream ("vids"), NUL-terminated, rest zero
    char audioFormat[10];  // type code of the audio stream ("auds")
    int32_t width;         // picture width in pixels
    int32_t height;        // picture height in pixels
    int32_t reserved;      // zero
    double fps;            // frames per second = rate / scale of the video stream
    int64_t duration;      // length in 100-ns units
    int32_t channels;      // audio channel count
    int32_t sampleRate;    // audio samples per second
    int32_t darX;          // display aspect ratio, horizontal part; 0 = unknown
    int32_t darY;          // display aspect ratio, vertical part; 0 = unknown
};

static_assert(sizeof(MediaInfo) == 64, "MediaInfo is a 64-byte stored record");
static_assert(offsetof(MediaInfo, videoFormat) == 0);
static_assert(offsetof(MediaInfo, audioFormat) == 10);
static_assert(offsetof(MediaInfo, width) == 20);
static_assert(offsetof(MediaInfo, height) == 24);
static_assert(offsetof(MediaInfo, reserved) == 28);
static_assert(offsetof(MediaInfo, fps) == 32);
static_assert(offsetof(MediaInfo, duration) == 40);
static_assert(offsetof(MediaInfo, channels) == 48);
static_assert(offsetof(MediaInfo, sampleRate) == 52);
static_assert(offsetof(MediaInfo, darX) == 56);
static_assert(offsetof(MediaInfo, darY) == 60);
static_assert(sizeof(double) == 8 && alignof(double) <= 8);

}  // namespace kalvex
