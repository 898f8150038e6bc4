#pragma once
// The PSP output settings a conversion and a preview script are made with.
// A plain record: the callers pass it; set.ini storage lives with the
// program's settings.

namespace kalvex {

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
