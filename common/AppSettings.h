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
};

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

}  // namespace kalvex
