#pragma once
#include <string>

#include "convert/ConvertSettings.h"

namespace kalvex {

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
// AudioResample, Codec).
void SaveConvertSettings();

// Whether set.ini holds a picture size (PspVideo X and Y).
bool PspPictureSizeStored();
// Makes c convert to AVC; without a stored picture size (sizeStored false)
// the size becomes the PSP's screen, 480x272.
void ChooseAvc(ConvertSettings& c, bool sizeStored);

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
