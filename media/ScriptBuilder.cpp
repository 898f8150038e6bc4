#include "media/ScriptBuilder.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "common/ProgramLog.h"
#include "platform/system/Folders.h"
#include "platform/system/TempFiles.h"

namespace kalvex {

namespace {

constexpr double kUnitsPerSecond = 10000000.0;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string out;
    if (n < 0) {
        out.clear();
    } else if (size_t(n) < sizeof small) {
        out.assign(small, size_t(n));
    } else {
        out.resize(size_t(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(size_t(n));
    }
    va_end(args);
    return out;
}

std::string NameBehindLastSlash(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Output frame rate: the setting, else the source's, else 25.
double OutputRate(const VideoFileEntry& e, const ConvertSettings& s) {
    if (s.fps != 0) return s.fps;
    if (e.mediaInfo.fps > 0) return e.mediaInfo.fps;
    return 25;
}

std::string TrimLine(const VideoFileEntry& e, double rate) {
    if (e.startTime == 0 && e.endTime == e.mediaInfo.duration) return {};
    const double whole = std::trunc(rate);  // 29.97 counts as 29 frames a second
    // Cut toward zero; a damaged record's times are held to the int range.
    auto frame = [whole](int64_t time) {
        const double f = std::trunc(double(time) / kUnitsPerSecond * whole);
        return int(std::clamp(f, double(INT32_MIN), double(INT32_MAX)));
    };
    const int first = frame(e.startTime);
    const int last = frame(e.endTime);
    return Format("Trim(%d,%d)\n", first, last);
}

std::string SizeLines(const VideoFileEntry& e, ScriptVariant variant, const ConvertSettings& s) {
    const MediaInfo& m = e.mediaInfo;
    // Display geometry: the width follows the display aspect ratio when known.
    int32_t wd = m.width;
    if (m.darX != 0 && m.darY != 0) wd = int32_t(int64_t(m.darX) * m.height / m.darY);
    const int32_t hd = m.height;
    if (variant == ScriptVariant::Preview) return Format("BicubicResize(%d,%d)\n", wd, hd);

    // Box the picture to 16:9, then scale it to X x Y.
    std::string out;
    if (16.0 / 9.0 < double(wd) / double(hd)) {
        const int32_t b = int32_t((int64_t(9) * wd / 16 - hd) / 2);
        out = Format("AddBorders(0,%d,0,%d)\n", b, b);
    } else {
        const int32_t b = int32_t((int64_t(16) * hd / 9 - wd) / 2);
        out = Format("AddBorders(%d,0,%d,0)\n", b, b);
    }
    // Best quality scales with the sharper Lanczos kernel; the default keeps
    // the soft bicubic one (B = C = 1/3).
    const char* resize = s.quality == kBestQuality ? "LanczosResize" : "BicubicResize";
    return out + Format("%s(%d,%d)\n", resize, s.width, s.height);
}

std::string SubtitleLine(const VideoFileEntry& e, const std::string& source, const TrackChoice& tracks) {
    if (e.useSubtitle == 0) return {};
    // An embedded track chosen takes the place of the linked file.
    if (tracks.subtitleTrack > 0)
        return Format("EmbeddedSub(%s, %d%s)", source.c_str(), tracks.subtitleTrack, tracks.forcedOnly ? ", 1" : "");
    // A damaged record may name a file outside the array; then there is no
    // subtitle to burn in.
    const int index = e.selectedSubtitle;
    if (index < 0 || index >= kMaxSubtitleFiles) return {};
    const std::string path = FieldText(e.subtitlePaths[index]);
    if (path.empty()) return {};
    std::string ext;
    size_t dot = path.rfind('.');
    if (dot != std::string::npos) ext = path.substr(dot + 1);
    for (char& c : ext) c = char(std::toupper(static_cast<unsigned char>(c)));
    std::string literal;
    if (!ScriptString(path, &literal)) return {};
    if (ext == "SUB") return Format("VobSub(%s, %d)", literal.c_str(), e.selectedStream[index]);
    return Format("TextSub(%s)", literal.c_str());
}

// The subtitle file the script would name, or "" when none (an embedded
// track chosen names the source itself).
std::string ChosenSubtitlePath(const VideoFileEntry& e, const TrackChoice& tracks = {}) {
    if (e.useSubtitle == 0 || tracks.subtitleTrack > 0) return {};
    if (e.selectedSubtitle < 0 || e.selectedSubtitle >= kMaxSubtitleFiles) return {};
    return FieldText(e.subtitlePaths[e.selectedSubtitle]);
}

}  // namespace

bool ScriptString(const std::string& path, std::string* literal) {
    if (path.find_first_of("\r\n") != std::string::npos || path.find("\"\"\"") != std::string::npos) return false;
    if (!literal) return true;
    if (path.find('"') == std::string::npos) {
        *literal = "\"" + path + "\"";
    } else {
        // In triple quotes a quote of the path cannot end the string. A quote
        // at the end of the path runs into the closing quotes; the engine
        // takes the last three of such a run as the end, since only then does
        // the rest of the line parse.
        *literal = "\"\"\"" + path + "\"\"\"";
    }
    return true;
}

std::string UnsafeScriptPathText(const std::string& path) {
    return Format("Could not use %s as Input!\r\nA conversion script cannot name this file: its name holds a line "
                  "break or three double quotes in a row.",
                  path.c_str());
}

std::string ScriptText(const VideoFileEntry& e, ScriptVariant variant, const ConvertSettings& s,
                       const TrackChoice& choice) {
    const TrackChoice tracks = Sanitized(choice);
    const double rate = OutputRate(e, s);
    std::string source;
    const std::string subtitle = ChosenSubtitlePath(e, tracks);
    if (!ScriptString(FieldText(e.fullPath), &source) || (!subtitle.empty() && !ScriptString(subtitle, nullptr)))
        return {};
    std::string text;
    // The default sound track keeps the line as it always was.
    if (tracks.soundTrack > 0)
        text += "DirectShowSource(" + source + ", " + std::to_string(tracks.soundTrack) + ")\n";
    else
        text += "DirectShowSource(" + source + ")\n";
    text += "ConvertToYV12()\n";
    text += Format("ChangeFPS(%f)\n", rate);
    // A subtitle filter times its lines by the frames it is handed. Behind
    // a Trim those count from the cut, so the lines of a trimmed entry
    // would come late by the trim's start: with a subtitle the cut comes
    // last instead, which leaves every picture and sound sample as it was
    // (the rate is already set above).
    const std::string trim = TrimLine(e, rate);
    const std::string burn = SubtitleLine(e, source, tracks);
    if (burn.empty()) text += trim;
    if (s.audioResample != 0) text += Format("ResampleAudio(%d)\n", s.audioResample);
    text += SizeLines(e, variant, s);
    text += burn;
    if (!burn.empty() && !trim.empty()) text += "\n" + trim;
    return text;
}

std::string ScriptPath(const VideoFileEntry& e) {
    return Format("%sPreviewAVS_%s_%d.avs", TempFolder().c_str(), NameBehindLastSlash(FieldText(e.fullPath)).c_str(),
                  int(getpid()));
}

bool WriteScript(VideoFileEntry entry, ScriptVariant variant, const ConvertSettings& settings, std::string* path,
                 const TrackChoice& tracks) {
    const std::string scriptPath = ScriptPath(entry);
    const std::string text = ScriptText(entry, variant, settings, tracks);
    if (text.empty()) {
        LogLine("No script for %s: it or its subtitle %s has a line break or three double quotes in a row in its path",
                FieldText(entry.fullPath).c_str(), ChosenSubtitlePath(entry, Sanitized(tracks)).c_str());
        return false;
    }
    FILE* f = std::fopen(scriptPath.c_str(), "w");
    if (!f) return false;
    const std::vector<std::string> registered = RegisteredTempFiles();
    if (std::find(registered.begin(), registered.end(), scriptPath) == registered.end())
        RegisterTempFile(scriptPath);
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) return false;
    if (path) *path = scriptPath;
    return true;
}

}  // namespace kalvex
