#pragma once
// The PSP output settings a conversion and a preview script are made with.
// A plain record: the callers pass it; set.ini storage lives with the
// program's settings.

#include <cctype>
#include <string>

namespace kalvex {

// The video codec of the PSP output: MPEG-4 Part 2 Simple Profile, which
// every PSP plays, or H.264/AVC Main Profile, which system software 3.30
// and later plays at the full 480x272 screen.
enum class PspCodec { Mpeg4, Avc };

// The set.ini text of a codec: "mpeg4" or "avc".
inline const char* CodecName(PspCodec codec) { return codec == PspCodec::Avc ? "avc" : "mpeg4"; }

// Reads a set.ini codec text ("mpeg4" or "avc", in any case, blanks around
// ignored). False for anything else; *codec is then left alone.
inline bool ParseCodecName(const std::string& text, PspCodec* codec) {
    size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    std::string word;
    for (size_t i = b; i < e; ++i) word += char(std::tolower(static_cast<unsigned char>(text[i])));
    if (word == "mpeg4") {
        *codec = PspCodec::Mpeg4;
        return true;
    }
    if (word == "avc") {
        *codec = PspCodec::Avc;
        return true;
    }
    return false;
}

// The picture size AVC output has when set.ini names none: the PSP's screen.
constexpr int kAvcDefaultWidth = 480, kAvcDefaultHeight = 272;
// The most video bit rate the PSP plays, kbit/s: the most either codec may
// spend in any second. A higher AVC setting is held to it.
constexpr int kPspMaxVideoBitrate = 768;

// The PspVideo section: the PSP output settings.
struct ConvertSettings {
    int width = 368;            // X
    int height = 208;           // Y
    double fps = 0;             // fps; 0 = the source's own
    int videoBitrate = 400;     // VideoBitrate, kbit/s
    int audioBitrate = 96;      // AudioBitrate, kbit/s
    char format[10] = "mp4";    // Fmt, at most 9 characters
    int audioResample = 24000;  // AudioResample, Hz; 0 = the source's own
    // Quality: 0 = the fast MPEG-4 encoding; 1 = best quality, slower
    // (rate-distortion macroblock decision, trellis quantisation, four
    // motion vectors per macroblock; all Simple Profile tools). Set in
    // set.ini by hand; the PSP settings dialog leaves it as it is.
    int quality = 0;
    // Codec: the video codec.
    PspCodec codec = PspCodec::Mpeg4;
};

constexpr int kFastQuality = 0, kBestQuality = 1;

// The ranges a PspVideo value read from set.ini must lie in: those the PSP
// settings dialog lets the user choose (bit rates), the sizes and rates the
// PSP plays, and the containers the encoder writes for it.
struct ConvertSettingRanges {
    static constexpr int kMinWidth = 16, kMaxWidth = 720;
    static constexpr int kMinHeight = 16, kMaxHeight = 480;
    static constexpr double kMaxFps = 1000;  // 0 keeps the source's rate
    static constexpr int kMinVideoBitrate = 200, kMaxVideoBitrate = 2000;
    static constexpr int kMinAudioBitrate = 32, kMaxAudioBitrate = 320;
    static constexpr int kMinAudioResample = 8000, kMaxAudioResample = 48000;  // or 0: the source's
    static constexpr int kMinQuality = kFastQuality, kMaxQuality = kBestQuality;
};

}  // namespace kalvex
