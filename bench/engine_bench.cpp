// Reads a script through the script engine's own interface the way the
// converter does: one frame at a time and the audio in blocks, and prints
// the wall and CPU time.
//   engine_bench SCRIPT          read every frame and all audio
//   engine_bench --open SCRIPT   only open the script and its streams
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/Engine.h"

using namespace kalvex;

int main(int argc, char** argv) {
    bool openOnly = argc == 3 && std::strcmp(argv[1], "--open") == 0;
    if (argc != 2 && !openOnly) {
        std::fprintf(stderr, "usage: engine_bench [--open] SCRIPT\n");
        return 2;
    }
    auto t0 = std::chrono::steady_clock::now();
    avs::OpenResult opened = avs::OpenScriptFile(argv[argc - 1]);
    if (opened.fileError != 0) {
        std::fprintf(stderr, "cannot read %s\n", argv[argc - 1]);
        return 1;
    }
    if (!opened.script) {
        std::fprintf(stderr, "%s\n", opened.error.c_str());
        return 1;
    }
    avs::Script& script = *opened.script;
    const bool video = script.HasVideo(), audio = script.HasAudio();
    const AVISTREAMINFOA& vi = script.VideoInfo();
    const AVISTREAMINFOA& ai = script.AudioInfo();
    const BITMAPINFOHEADER& bih = script.VideoHeader();
    const PCMWAVEFORMAT& wf = script.AudioFormat();
    long frames = 0, samples = 0;
    if (!openOnly) {
        std::vector<uint8_t> picture(bih.biSizeImage ? bih.biSizeImage : 1);
        std::vector<uint8_t> sound(2097152);
        // Audio in blocks of one frame's duration, interleaved with the frames.
        const double perFrame = video && vi.dwRate ? double(wf.nSamplesPerSec) * vi.dwScale / vi.dwRate : 1024;
        LONG bytes = 0, got = 0;
        double audioDue = 0;
        for (DWORD n = 0; video && n < vi.dwLength; ++n) {
            script.ReadVideo(LONG(n), 1, picture.data(), LONG(picture.size()), &bytes, &got);
            frames += got;
            audioDue += perFrame;
            while (audio && samples + 1024 <= audioDue && DWORD(samples) < ai.dwLength) {
                script.ReadAudio(samples, 1024, sound.data(), LONG(sound.size()), &bytes, &got, nullptr);
                samples += 1024;
            }
        }
        while (audio && DWORD(samples) < ai.dwLength) {
            script.ReadAudio(samples, 1024, sound.data(), LONG(sound.size()), &bytes, &got, nullptr);
            samples += got ? got : 1024;
        }
    }
    opened = avs::OpenResult{};  // closed before the clock stops, as the converter closes its reader
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    double cpu = double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    // wall seconds, frames, samples, CPU seconds (all threads)
    std::printf("%.3f %ld %ld %.3f\n", seconds, frames, samples, cpu);
    return 0;
}
