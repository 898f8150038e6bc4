#include "media/ExamineSource.h"
#include "media/ScriptBuilder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <unistd.h>

#include "common/ProgramLog.h"
#include "media/SourceReader.h"
#include "media/TrackChoice.h"
#include "platform/plugins/DirectShowSourcePlugin.h"
#include "platform/system/Folders.h"
#include "platform/system/TempFiles.h"

namespace kalvex {
namespace {

using DarEntry = AvsGetDARFunction;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out(size_t(std::max(n, 0)), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    va_end(args);
    return out;
}

// plugins/DirectShowSource.so beside the program, or in the installed lib/kalvex/.
DarEntry LoadDarEntry() {
    const std::string plugin = "plugins/DirectShowSource.so";
    void* module = dlopen((CompanionFolder(plugin) + plugin).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return nullptr;
    // Never unloaded: the entry is used for the rest of the process.
    return reinterpret_cast<DarEntry>(dlsym(module, "AvsGetDAR"));
}

DarEntry TheDarEntry() {
    static std::once_flag once;
    static DarEntry entry = nullptr;
    std::call_once(once, [] { entry = LoadDarEntry(); });
    return entry;
}

// Fills the refusal (when asked for one); the logged kinds are written to
// the log with their text.
void Refuse(RefusalKind kind, const std::string& path, SourceRefusal* refusal, bool log = true,
            const std::string& detail = {}) {
    const SourceRefusal r{kind, path, detail};
    if (log) LogLine("%s", RefusalText(r).c_str());
    if (refusal) *refusal = r;
}

std::string FileNamePart(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}


}  // namespace

std::string RefusalText(const SourceRefusal& r) {
    const std::string base = "Could not use " + r.path + " as Input!";
    switch (r.kind) {
        case RefusalKind::None: return {};
        case RefusalKind::Unusable: return base;
        case RefusalKind::UnsafeName: return UnsafeScriptPathText(r.path);
        case RefusalKind::PathTooLong:
            return base + "\r\nThe file path is longer than " + std::to_string(kMaxPath - 1) + " bytes.";
        case RefusalKind::ScriptFailed: return r.detail.empty() ? base : r.detail;
        case RefusalKind::NoVideo: return base + "\r\nNo Video found!";
        case RefusalKind::NotYV12: return base + "\r\nInput Format is not YV12 ColorSpace!";
        case RefusalKind::NoAudio: return base + "\r\nNo Audio found!";
    }
    return base;
}

namespace {

// The file's tracks, read from its header. A file whose tracks cannot be
// listed is still examined through its script: it has no track to choose.
avs::TrackList ExamineTracks(const std::string& path) {
    avs::TrackList tracks;
    std::string why;
    if (!avs::ReadTracks(path, &tracks, &why)) {
        LogLine("The tracks of %s could not be listed: %s", path.c_str(), why.c_str());
        return {};
    }
    return tracks;
}

// The examination text's track lines, after the text.
void AddTrackLines(std::string& text, const avs::TrackList& tracks) {
    for (const std::string& line : TrackLines(tracks)) text += "\n" + line;
}

}  // namespace

bool ExamineSource(const std::string& path, MediaInfo& info, std::string& infoText, SourceRefusal* refusal,
                   avs::TrackList* tracksOut) {
    std::memset(&info, 0, sizeof info);
    infoText.clear();
    if (tracksOut) *tracksOut = {};
    const std::string fileName = FileNamePart(path);
    DarEntry darEntry = TheDarEntry();
    SourceReader reader;

    std::string source;
    if (!ScriptString(path, &source)) {
        Refuse(RefusalKind::UnsafeName, path, refusal);
        return false;
    }
    const std::string script = Format("%sTempAVS_%s_%d.avs", TempFolder().c_str(), fileName.c_str(), int(getpid()));
    FILE* file = std::fopen(script.c_str(), "w");
    if (!file) {
        Refuse(RefusalKind::Unusable, path, refusal);
        return false;
    }
    RegisterTempFile(script);
    std::fprintf(file, "DirectShowSource(%s)\n", source.c_str());
    std::fprintf(file, "ConvertToYV12()\n");
    bool written = std::fflush(file) == 0;
    written = std::fclose(file) == 0 && written;
    if (!written) {
        Refuse(RefusalKind::Unusable, path, refusal);
        return false;
    }

    std::string text = "Information For: " + script + "\n";
    if (!reader.OpenXXXFile(script)) {
        if (!reader.OpenError().empty()) {
            Refuse(RefusalKind::ScriptFailed, path, refusal, false, reader.OpenError());
        } else {
            Refuse(RefusalKind::Unusable, path, refusal, false);
        }
        return false;
    }

    if (darEntry) {
        // The plug-in answers for the source this reader's script opened.
        const KalvexAvsSource opened{sizeof(KalvexAvsSource), reader.Source().darX, reader.Source().darY};
        darEntry(&opened, &info.darX, &info.darY);
        LogLine("DAR is %d, %d", info.darX, info.darY);
    } else {
        info.darX = info.darY = 0;
    }

    if (!reader.HasVideo()) {
        Refuse(RefusalKind::NoVideo, path, refusal);
        return false;
    }
    if (reader.VideoHeader().biCompression != kFourCC_YV12) {
        Refuse(RefusalKind::NotYV12, path, refusal);
        return false;
    }

    const unsigned rate = reader.Rate(), scale = reader.Scale();
    const long frames = reader.Length(SourceReader::kVideoLength);
    info.fps = scale ? double(rate) / double(scale) : 0.0;
    auto workOut = [&] {
        if (info.fps > 0) info.duration = int64_t(double(int64_t(frames) * 10000000LL) / info.fps + 0.5);
    };
    const int seconds = info.fps > 0 ? int(double(frames) / info.fps + 0.5) : 0;
    info.width = reader.Width();
    info.height = reader.Height();
    workOut();
    char type[5];
    reader.VideoType(type);
    std::memcpy(info.videoFormat, type, 5);
    const int hh = seconds / 3600, mm = seconds % 3600 / 60, ss = seconds % 60;
    text += "Video\n-------\n";
    if (info.darX && info.darY)
        text += Format("Resolution: %dx%d(DAR:%dx%d)\nFrames Per Sec: %.3f FPS\nLength (hh/mm/ss): %02d:%02d:%02d\n"
                       "Rate = %d, Scale = %d\nFourCC=%s\n",
                       info.width, info.height, info.darX, info.darY, info.fps, hh, mm, ss, int(rate), int(scale), type);
    else
        text += Format("Resolution: %dx%d\nFrames Per Sec: %.3f FPS\nLength (hh/mm/ss): %02d:%02d:%02d\n"
                       "Rate = %d, Scale = %d\nFourCC=%s\n",
                       info.width, info.height, info.fps, hh, mm, ss, int(rate), int(scale), type);

    // The source lists the tracks it found while opening; only a script
    // whose source did not (none does today) leaves them to a reading here.
    const avs::TrackList tracks = reader.Source().tracksRead ? reader.Source().tracks : ExamineTracks(path);
    if (tracksOut) *tracksOut = tracks;
    if (!reader.HasAudio()) {
        // The PSP plays a file only with sound: the conversion adds a silent
        // track of the picture's length. The record keeps no sound format.
        text += "Audio\n-------\n";
        text += kNoSoundTrackText;
        AddTrackLines(text, tracks);
        LogLine("%s", text.c_str());
        infoText = text;
        return true;
    }
    info.channels = reader.Channels();
    info.sampleRate = reader.SampleRate();
    if (info.duration == 0) workOut();
    reader.AudioType(type);
    std::memcpy(info.audioFormat, type, 5);
    text += "Audio\n-------\n";
    text += Format("Channels: %d\nSampleRate: %d\nLength (hh/mm/ss): %02d:%02d:%02d\nFourCC = %s", info.channels,
                   info.sampleRate, hh, mm, ss, type);
    AddTrackLines(text, tracks);
    LogLine("%s", text.c_str());
    infoText = text;
    return true;
}

}  // namespace kalvex
