#pragma once
// Fitting a batch onto the PSP's Memory Stick: the video bit rate at which
// every output of a run, with its thumbnail, still fits the PSP's free
// space with 2 % to spare. The rule is plain arithmetic on what the caller
// measured; the Convert page and the command line both ask it.
#include <cstdint>
#include <string>
#include <vector>

namespace kalvex {

// One output of the batch, as the estimate sees it.
struct PspFitFile {
    int64_t duration = 0;        // the entry's running time after its trim, 100-ns units
    double frameRate = 0;        // pictures a second of the output (<= 0 or unknown: 60 is assumed)
    int sampleRate = 0;          // sound samples a second of the output (<= 0: 48000 is assumed)
    int64_t titleBoxBytes = 0;   // the PSP title box the file will carry
};

// What the PSP offers.
struct PspSpace {
    int64_t freeBytes = 0;
    int64_t clusterBytes = 0;  // allocation unit of its file system (<= 0: 32 KiB is assumed)
};

// The rule's answer.
struct PspFitResult {
    bool fits = false;
    int videoBitrate = 0;   // kbit/s, the chosen rate (fits only)
    int64_t estimate = 0;   // bytes the batch takes at that rate (at the lowest rate when it does not fit)
    int64_t allowed = 0;    // the free space less 2 %
    int64_t missing = 0;    // bytes to free before it fits at the lowest rate (0 when it fits)
};

class PspFit {
public:
    // The range the chosen rate lies in, kbit/s.
    static constexpr int kMinVideoBitrate = 200;
    static constexpr int kMaxVideoBitrate = 768;

    // How the estimate guards against the encoders spending more than they
    // were asked (measured on real outputs: up to 1.5 % over a whole file
    // and, on a 3 s file, up to half a second more of the rate at the
    // start, where the rate control has no history): each stream counts its
    // rate for 3 % more than the running time plus one second.
    static constexpr int kRatePercent = 103;
    static constexpr int64_t kExtraRateSeconds = 1;
    // The MP4 boxes beside the media: a fixed part (file type, movie and
    // track headers, the codecs' set-up, the media box header) and, per
    // second, the sample tables' entries: a bound per picture (size, time
    // offset, key-picture and chunk entries) and per sound frame of 1024
    // samples. Measured: 2 KB fixed, 11 to 24 bytes per picture.
    static constexpr int64_t kFixedBoxBytes = 4096;
    static constexpr int kIndexBytesPerPicture = 24;
    static constexpr int kIndexBytesPerSoundFrame = 12;
    static constexpr int kSamplesPerSoundFrame = 1024;
    // A 160x120 JPEG thumbnail: a picture of pure noise takes 18 KB at the
    // thumbnail's quality; nothing takes more than the bound.
    static constexpr int64_t kThumbnailBytes = 32768;
    static constexpr int64_t kDefaultClusterBytes = 32768;
    // The share of the free space kept free, in percent.
    static constexpr int kSparePercent = 2;

    // The bytes one file and its thumbnail take on the PSP at videoBitrate
    // and audioBitrate (kbit/s), each rounded up to whole clusters.
    static int64_t FileBytes(const PspFitFile& file, int videoBitrate, int audioBitrate, int64_t clusterBytes);
    // The bytes the whole batch takes.
    static int64_t Estimate(const std::vector<PspFitFile>& files, int videoBitrate, int audioBitrate,
                            int64_t clusterBytes);
    // The free space less its 2 %, the spare rounded up to a whole byte.
    static int64_t Allowed(int64_t freeBytes);

    // The highest whole video bit rate in 200..768 kbit/s at which the
    // estimate is at most Allowed(free space). When even 200 kbit/s does
    // not fit: fits is false and missing says how many more bytes must be
    // free for it to fit.
    static PspFitResult Choose(const std::vector<PspFitFile>& files, int audioBitrate, const PspSpace& space);
};

// The text a refused run shows: "The videos do not fit on the PSP even at
// 200 kbit/s.\nNeed %sB more free space." with the missing amount as sizes
// are shown elsewhere.
std::string FitRefusalText(const PspFitResult& result);
// The text a fitted run shows: "Video bit rate fitted to the PSP's free
// space: %d kbit/s".
std::string FitChosenText(const PspFitResult& result);

// When fitting a run finds no PSP, or one that is not mounted.
extern const char* const kFitNoPspText;       // "No PSP detected: connect the PSP through USB to fit the videos to its free space."
extern const char* const kFitNotMountedText;  // "The PSP is connected but not mounted: its free space cannot be read."

// Measures the PSP's free space and its file system's allocation unit at
// root. False (with the system's text) when the free space cannot be read;
// an unknown allocation unit is taken as kDefaultClusterBytes.
bool MeasurePspSpace(const std::string& root, PspSpace& space, std::string* reason = nullptr);

}  // namespace kalvex
