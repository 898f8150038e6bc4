#pragma once
// Helpers for the script engine tests: media made once per test program,
// scripts written into the test's folder, and readers over the interface.
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/AviSynth.h"
#include "engine/Engine.h"

namespace kalvex::test {

// A media file made with the ffmpeg tool once per test program (kept in a
// folder shared by all tests of the program). Empty on failure.
std::string SharedMedia(const QString& name, const QStringList& args);

// Video whose frames carry their own index in the luma of the two picture
// halves (lossless H.264, key frame every 25 frames), with an audio ramp
// whose samples carry their index modulo 2000 (PCM), in QuickTime (whose
// time stamps count single samples).
std::string NumberedClip(const QString& rate, int frames, int width = 160, int height = 120, int audioRate = 48000);
// The index a numbered frame carries, read from a YV12 buffer.
int FrameNumber(const uint8_t* yv12, int width, int height);
// The ramp position (0..1999) a sample value carries.
int RampPosition(int16_t value);

// Writes a script (lines as given) into the test's folder; returns its path.
std::string WriteScript(const std::string& text, const std::string& name = "test.avs");

// Frame n of a script opened through the engine's own interface; empty when
// the read fails.
std::vector<uint8_t> ScriptFrame(avs::Script& script, long n);
// Every frame of the script at path, opened with the given options.
std::vector<std::vector<uint8_t>> AllFrames(const std::string& scriptPath, const avs::OpenOptions& options);

// One opened script with its streams, through the Video for Windows calls.
struct Opened {
    HRESULT openResult = -1;
    std::string error;  // MyAVIFileGetError text, empty when none
    PAVISTREAM video = nullptr;
    PAVISTREAM audio = nullptr;
    AVISTREAMINFOA videoInfo{};
    AVISTREAMINFOA audioInfo{};
    BITMAPINFOHEADER header{};
    PCMWAVEFORMAT format{};
    Opened() { MyAVIFileInit(); }
    ~Opened();
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;

    bool Open(const std::string& scriptPath);
    std::vector<uint8_t> Frame(long n);
    // Samples [start, start + count) as interleaved values.
    std::vector<int16_t> Audio(long start, long count);
};

}  // namespace kalvex::test
