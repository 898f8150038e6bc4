#include "common/AppSettings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/ProgramLog.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/system/Folders.h"

namespace kalvex {

AppSettingsRecord AppSettings;
int SelectedDvdDrive = -1;

namespace {
std::string& PathStore() {
    static std::string path;
    return path;
}

int ReadInt(const char* section, const char* key, int def) {
    return GetPrivateProfileInt(section, key, def, SettingsPath());
}
void WriteInt(const char* section, const char* key, int value) {
    WritePrivateProfileInt(section, key, value, SettingsPath());
}

// PspVideo / Codec: "mpeg4" (also when missing) or "avc"; anything else is
// logged and taken as "mpeg4", the codec every PSP plays.
PspCodec ReadCodec() {
    const std::string text = GetPrivateProfileString("PspVideo", "Codec", "mpeg4", 32, SettingsPath());
    PspCodec codec = PspCodec::Mpeg4;
    if (!ParseCodecName(text, &codec))
        LogLine("set.ini: PspVideo Codec=%s is not a video codec for the PSP (mpeg4, avc); mpeg4 is used",
                text.c_str());
    return codec;
}
}  // namespace

bool PspPictureSizeStored() {
    const std::string none = "\x01";
    return GetPrivateProfileString("PspVideo", "X", none, 32, SettingsPath()) != none &&
           GetPrivateProfileString("PspVideo", "Y", none, 32, SettingsPath()) != none;
}

void ChooseAvc(ConvertSettings& c, bool sizeStored) {
    c.codec = PspCodec::Avc;
    if (!sizeStored) {
        c.width = kAvcDefaultWidth;
        c.height = kAvcDefaultHeight;
    }
}

const std::string& SettingsPath() {
    if (PathStore().empty()) PathStore() = AppDataFolder() + "set.ini";
    return PathStore();
}

void SetSettingsPath(const std::string& path) { PathStore() = path; }

bool LoadSettings() {
    AppSettingsRecord& s = AppSettings;
    s.tvSystem = ReadInt("General", "TvSystem", 0);
    s.timeFormat = ReadInt("General", "TimeFormat", 0);
    s.removeMethod = ReadInt("General", "RemoveMethod", 1);
    s.remindNoSpace = ReadInt("General", "RemindNoSpace", 1);

    s.videoAutoDetect = ReadInt("Compress", "VideoAutoDetect", 1);
    s.videoBitrateConstant = ReadInt("Compress", "VideoBitrateConstant", 4000);
    s.videoBitrateMaximal = ReadInt("Compress", "VideoBitrateMaximal", 9000);
    s.compressAudioBitrate = ReadInt("Compress", "AudioBitrate", 192);

    s.autoUpdate = ReadInt("AutoUpdate", "AutoUpdate", 1);
    s.tvSystemNotified = ReadInt("General", "TvSystemNotified", 0);

    s.chapterInterval = ReadInt("Chapter", "ChapterInterval", 5);
    s.chapterEnable = ReadInt("Chapter", "Enable", 1);

    SelectedDvdDrive = ReadInt("DVDDrive", "Select", 0);

    // Cleared at once, so an interrupted first run is not repeated.
    bool firstRun = ReadInt("FirstTimeRun", "FirstTimeRun", 1) != 0;
    WriteInt("FirstTimeRun", "FirstTimeRun", 0);

    ConvertSettings& c = s.convert;
    // The codec first: it decides the picture size when none is stored.
    c.codec = ReadCodec();
    const bool avc = c.codec == PspCodec::Avc;
    c.width = ReadInt("PspVideo", "X", avc ? kAvcDefaultWidth : 368);
    c.height = ReadInt("PspVideo", "Y", avc ? kAvcDefaultHeight : 208);
    std::string fps = GetPrivateProfileString("PspVideo", "fps", "0", 20, SettingsPath());
    c.fps = std::strtod(fps.c_str(), nullptr);  // no number → 0
    c.videoBitrate = ReadInt("PspVideo", "VideoBitrate", 400);
    c.audioBitrate = ReadInt("PspVideo", "AudioBitrate", 96);
    std::string fmt = GetPrivateProfileString("PspVideo", "Fmt", "mp4", sizeof c.format, SettingsPath());
    std::memset(c.format, 0, sizeof c.format);
    std::memcpy(c.format, fmt.data(), std::min(fmt.size(), sizeof c.format - 1));
    c.audioResample = ReadInt("PspVideo", "AudioResample", 24000);
    c.quality = ReadInt("PspVideo", "Quality", kFastQuality);
    HoldConvertSettingsInRange(c);
    return firstRun;
}

bool HoldConvertSettingsInRange(ConvertSettings& c) {
    using R = ConvertSettingRanges;
    const ConvertSettings defaults;
    bool kept = true;
    auto holdInt = [&](const char* key, int& value, int low, int high, int def, bool zeroAllowed = false) {
        if ((value >= low && value <= high) || (zeroAllowed && value == 0)) return;
        LogLine("set.ini: PspVideo %s=%d is out of range (%d to %d); %d is used", key, value, low, high, def);
        value = def;
        kept = false;
    };
    holdInt("X", c.width, R::kMinWidth, R::kMaxWidth, defaults.width);
    holdInt("Y", c.height, R::kMinHeight, R::kMaxHeight, defaults.height);
    // Not a number, infinite, negative or beyond any rate a picture has.
    if (!(std::isfinite(c.fps) && c.fps >= 0 && c.fps <= R::kMaxFps)) {
        LogLine("set.ini: PspVideo fps=%g is out of range (0 to %g); %g is used", c.fps, R::kMaxFps, defaults.fps);
        c.fps = defaults.fps;
        kept = false;
    }
    holdInt("VideoBitrate", c.videoBitrate, R::kMinVideoBitrate, R::kMaxVideoBitrate, defaults.videoBitrate);
    holdInt("AudioBitrate", c.audioBitrate, R::kMinAudioBitrate, R::kMaxAudioBitrate, defaults.audioBitrate);
    holdInt("AudioResample", c.audioResample, R::kMinAudioResample, R::kMaxAudioResample, defaults.audioResample,
            true);
    holdInt("Quality", c.quality, R::kMinQuality, R::kMaxQuality, defaults.quality);
    const std::string format(c.format, strnlen(c.format, sizeof c.format));
    if (format != "mp4" && format != "psp") {
        LogLine("set.ini: PspVideo Fmt=%s is not an output format for the PSP (mp4, psp); %s is used", format.c_str(),
                defaults.format);
        std::memcpy(c.format, defaults.format, sizeof c.format);
        kept = false;
    }
    return kept;
}

std::string ReadDestPath(const std::string& defaultPath, std::string* refusal) {
    if (refusal) refusal->clear();
    // Read whole (far beyond the field) so that a long value is seen as long.
    std::string path = GetPrivateProfileString("Convert", "DestPath", defaultPath, 1 << 16, SettingsPath());
    if (path.size() <= kMaxDestPathLength) return path;
    const std::string text = "The destination folder in " + SettingsPath() + " is longer than " +
                             std::to_string(kMaxDestPathLength) + " characters and is not used:\n" + path +
                             "\nThe folder " + defaultPath + " is used instead.";
    LogLongLine("%s", text.c_str());
    if (refusal) *refusal = text;
    return defaultPath;
}

void SaveSettingsOnExit() {
    const AppSettingsRecord& s = AppSettings;
    WriteInt("General", "TvSystem", s.tvSystem);
    WriteInt("General", "TimeFormat", s.timeFormat);
    WriteInt("General", "RemoveMethod", s.removeMethod);
    WriteInt("General", "RemindNoSpace", s.remindNoSpace);
    WriteInt("Compress", "VideoAutoDetect", s.videoAutoDetect);
    WriteInt("Compress", "VideoBitrateConstant", s.videoBitrateConstant);
    WriteInt("Compress", "VideoBitrateMaximal", s.videoBitrateMaximal);
    WriteInt("Compress", "AudioBitrate", s.compressAudioBitrate);
    WriteInt("AutoUpdate", "AutoUpdate", s.autoUpdate);
    WriteInt("General", "TvSystemNotified", s.tvSystemNotified);
    WriteInt("Chapter", "ChapterInterval", s.chapterInterval);
    WriteInt("Chapter", "Enable", s.chapterEnable);
    WriteInt("DVDDrive", "Select", SelectedDvdDrive);
}

void SaveConvertSettings() {
    const ConvertSettings& c = AppSettings.convert;
    WriteInt("PspVideo", "X", c.width);
    WriteInt("PspVideo", "Y", c.height);
    char fps[64];
    std::snprintf(fps, sizeof fps, "%f", c.fps);
    WritePrivateProfileString("PspVideo", "fps", fps, SettingsPath());
    WriteInt("PspVideo", "VideoBitrate", c.videoBitrate);
    WriteInt("PspVideo", "AudioBitrate", c.audioBitrate);
    WritePrivateProfileString("PspVideo", "Fmt", std::string(c.format, strnlen(c.format, sizeof c.format)),
                              SettingsPath());
    WriteInt("PspVideo", "AudioResample", c.audioResample);
    WritePrivateProfileString("PspVideo", "Codec", CodecName(c.codec), SettingsPath());
}

}  // namespace kalvex
