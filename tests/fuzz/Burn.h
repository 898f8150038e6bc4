#pragma once
// Burning a subtitle into a tiny clip through the script engine, for the
// subtitle fuzzers: a 16 x 16 clip of two black frames (made once per test
// with the ffmpeg tool), a script "DirectShowSource + ConvertToYV12 + one
// subtitle filter", and the pictures read back through the engine's
// interface.
#include <QString>
#include <string>
#include <vector>

#include "engine/AviSynth.h"
#include "subtitles/engine/SubtitleFilters.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex::fuzz {

constexpr int kClipSide = 16;
constexpr size_t kFrameBytes = size_t(kClipSide) * kClipSide * 3 / 2;

// Two frames of black, 25 a second, in the test's folder. Empty on failure.
// Raw pictures: their decoder starts no threads and needs no parser, so
// opening the clip thousands of times stays cheap.
inline std::string TinyClip() {
    return test::MakeMedia("tiny.avi", {"-f", "lavfi", "-i", "color=black:size=16x16:rate=25", "-frames:v", "2", "-c:v",
                                        "rawvideo", "-pix_fmt", "yuv420p"})
        .toStdString();
}

struct Burned {
    bool opened = false;       // the script evaluated
    std::string error;         // why not
    std::vector<std::vector<uint8_t>> frames;  // frames 0, 1, then 0 again
    bool readFailed = false;
};

// Evaluates "DirectShowSource(clip), ConvertToYV12(), <filter>" and reads
// frames 0, 1 and 0 again.
inline Burned Burn(const std::string& clip, const std::string& filterLine) {
    Burned b;
    const std::string script = test::TestRoot() + "/burn.avs";
    test::WriteFile(script, "DirectShowSource(\"" + clip + "\")\nConvertToYV12()\n" + filterLine + "\n");
    RegisterSubtitleFilters();
    MyAVIFileInit();
    if (MyAVIFileOpen(script.c_str()) != 0) {
        b.error = "the script could not be read";
        MyAVIFileExit();
        return b;
    }
    const char* text = nullptr;
    if (MyAVIFileGetError(&text)) {
        b.error = text ? text : "(no text)";
        MyAVIFileExit();
        return b;
    }
    PAVISTREAM video = nullptr;
    if (MyAVIFileGetStream(&video, streamtypeVIDEO, 0) != 0 || !video) {
        b.error = "no video stream";
        MyAVIFileExit();
        return b;
    }
    b.opened = true;
    BITMAPINFOHEADER header{};
    LONG size = sizeof header;
    AVIStreamReadFormat(video, 0, &header, &size);
    for (long n : {0L, 1L, 0L}) {
        std::vector<uint8_t> buffer(header.biSizeImage);
        LONG bytes = 0, frames = 0;
        if (AVIStreamRead(video, LONG(n), 1, buffer.data(), LONG(buffer.size()), &bytes, &frames) != 0 ||
            bytes != LONG(buffer.size()))
            b.readFailed = true;
        b.frames.push_back(std::move(buffer));
    }
    MyAVIStreamClose(video);
    MyAVIFileExit();
    return b;
}

// Luma samples brighter than black (the clip itself is all 16).
inline int LitPixels(const std::vector<uint8_t>& frame) {
    int n = 0;
    for (int i = 0; i < kClipSide * kClipSide && i < int(frame.size()); ++i) n += frame[size_t(i)] > 40;
    return n;
}

}  // namespace kalvex::fuzz
