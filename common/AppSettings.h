#pragma once
#include <string>

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

// The process-wide record of the set.ini values, in the file's field order.
struct AppSettingsRecord {
    int tvSystem = 0;
    int timeFormat = 0;
    int removeMethod = 1;
    int remindNoSpace = 1;
    int videoAutoDetect = 1;
    int videoBitrateConstant = 4000;
    int videoBitrateMaximal = 9000;
    int compressAudioBitrate = 192;
    int autoUpdate = 1;
    int tvSystemNotified = 0;
    int chapterEnable = 1;
    int chapterInterval = 5;
    ConvertSettings convert;
};

extern AppSettingsRecord AppSettings;
// DVDDrive / Select; -1 before loading.
extern int SelectedDvdDrive;

// AppDataFolder + "set.ini", set by main-window initialisation.
const std::string& SettingsPath();
void SetSettingsPath(const std::string& path);

// Reads every value in the file's load order; returns the first-run flag
// (FirstTimeRun, then at once written back as 0).
bool LoadSettings();
// The exit save: General, Compress, AutoUpdate, Chapter and DVDDrive values.
void SaveSettingsOnExit();
// The PspVideo section (X, Y, fps as "%f", VideoBitrate, AudioBitrate, Fmt,
// AudioResample).
void SaveConvertSettings();

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
// Puts every value of c outside its range back to its default, with a log
// line naming the key, the value found and the value used. Called by
// LoadSettings; true when nothing was replaced.
bool HoldConvertSettingsInRange(ConvertSettings& c);

// The longest destination folder the stored record can hold.
constexpr size_t kMaxDestPathLength = 259;
// Convert / DestPath, or defaultPath when missing. A stored path longer than
// kMaxDestPathLength is not used, never cut: defaultPath comes back, the
// refusal is logged and its message put into *refusal (else it is cleared).
std::string ReadDestPath(const std::string& defaultPath, std::string* refusal);

}  // namespace kalvex
