#include "convert/RunPolicy.h"

#include <sys/stat.h>

#include <QDir>
#include <QString>
#include <cstdint>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "convert/PspMetadata.h"
#include "convert/psp/FormatSize.h"
#include "convert/psp/PspNames.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/storage/Storage.h"
#include "platform/system/Folders.h"

namespace kalvex {

const char* const kZeroLengthText = "Can't convert movie segment with length equal 0";
const char* const kTooLongText = "You have selected too long movie, it can't be saved in one DVD disc";

std::string ConvertPageSettings::DefaultDestPath() { return HomeFolder() + "dvd-vob/"; }

ConvertPageSettings ConvertPageSettings::Load(std::string* refusal) {
    ConvertPageSettings s;
    const std::string& ini = SettingsPath();
    std::string why;
    s.destPath = ReadDestPath(DefaultDestPath(), &why);
    if (refusal) *refusal = why;
    s.copyToPsp = GetPrivateProfileInt("Convert", "CopyToPsp", 1, ini);
    s.lowCpu = GetPrivateProfileInt("Convert", "LowCpu", 0, ini);
    s.deleteAfterCopied = GetPrivateProfileInt("Convert", "DeleteAfterCopied", 0, ini);
    s.oldPspFolders = GetPrivateProfileInt("Convert", "OldPspFolders", 0, ini);
    s.fitToPsp = GetPrivateProfileInt("Convert", "FitToPsp", 0, ini);
    return s;
}

void ConvertPageSettings::Save() const {
    const std::string& ini = SettingsPath();
    WritePrivateProfileString("Convert", "DestPath", destPath, ini);
    WritePrivateProfileInt("Convert", "CopyToPsp", copyToPsp, ini);
    WritePrivateProfileInt("Convert", "LowCpu", lowCpu, ini);
    WritePrivateProfileInt("Convert", "DeleteAfterCopied", deleteAfterCopied, ini);
    WritePrivateProfileInt("Convert", "OldPspFolders", oldPspFolders, ini);
    WritePrivateProfileInt("Convert", "FitToPsp", fitToPsp, ini);
}

namespace {
// A segment is converted only when its end lies after its start.
bool HasLength(const VideoFileEntry& e) { return e.endTime > e.startTime; }
}  // namespace

std::vector<TrackChoice> SegmentTrackChoices(const std::vector<VideoFileEntry>& entries,
                                             const std::vector<TrackChoice>& choices) {
    std::vector<TrackChoice> out;
    for (size_t i = 0; i < entries.size(); ++i)
        if (HasLength(entries[i])) out.push_back(i < choices.size() ? choices[i] : TrackChoice{});
    return out;
}

std::vector<VideoFileEntry> SegmentsToConvert(const std::vector<VideoFileEntry>& entries,
                                              std::vector<std::string>* refused) {
    std::vector<VideoFileEntry> out;
    for (const auto& e : entries) {
        if (HasLength(e))
            out.push_back(e);
        else if (refused)
            refused->push_back(FieldText(e.fileName));
    }
    return out;
}

LengthCheck CheckTotalLength(const std::vector<VideoFileEntry>& segments, int maximalRate) {
    LengthCheck c;
    int64_t total = 0;
    for (const auto& e : segments) total += e.endTime - e.startTime;
    c.seconds = total / 10000000;
    // No length at all leaves room for any rate: the maximum applies.
    double rate = c.seconds > 0 ? 4.7e6 / double(c.seconds) * 8 * 0.85 : double(maximalRate);
    c.rate = rate >= double(INT32_MAX) ? INT32_MAX : int(rate);
    LogLine("total movie len = %lld, calculate bitrate = %d.", static_cast<long long>(c.seconds), c.rate);
    if (c.rate > maximalRate) c.rate = maximalRate;
    c.refused = c.rate < 2000;
    return c;
}

bool PrepareDestination(std::string& destPath, std::string* reason) {
    if (destPath.empty() || destPath.back() != '/') destPath += '/';
    if (!QDir().mkpath(QString::fromLocal8Bit(destPath.c_str()))) {
        LogLine("Could not create the destination folder %s", destPath.c_str());
        if (reason) *reason = "Could not create the destination folder " + destPath;
        return false;
    }
    return true;
}

std::vector<PspFitFile> FitFilesFor(const std::vector<VideoFileEntry>& segments, const ConvertSettings& settings) {
    std::vector<PspFitFile> files;
    files.reserve(segments.size());
    // The date entry of the title box always has the same length.
    const std::string date = "2000/01/01 00:00:00";
    for (const VideoFileEntry& e : segments) {
        PspFitFile f;
        f.duration = e.endTime - e.startTime;
        f.frameRate = settings.fps != 0 ? settings.fps : e.mediaInfo.fps;
        f.sampleRate = settings.audioResample != 0 ? settings.audioResample : e.mediaInfo.sampleRate;
        const std::string title = PspTitle(ReadSourceTitleTag(FieldText(e.fullPath)), FieldText(e.fileName));
        f.titleBoxBytes = int64_t(PspTitleBox(title, date).size());
        files.push_back(f);
    }
    return files;
}

RunFit FitRunToPsp(const std::vector<VideoFileEntry>& segments, const ConvertSettings& settings,
                   const std::string& pspRoot) {
    RunFit fit;
    PspSpace space;
    if (!MeasurePspSpace(pspRoot, space, &fit.reason)) {
        LogLine("Fit to the PSP: the free space of %s cannot be read: %s", pspRoot.c_str(), fit.reason.c_str());
        return fit;
    }
    fit.measured = true;
    fit.result = PspFit::Choose(FitFilesFor(segments, settings), settings.audioBitrate, space);
    if (fit.result.fits)
        LogLine("Fit to the PSP: %d kbit/s video for %zu file(s), about %s of %s free (%s usable)",
                fit.result.videoBitrate, segments.size(), FormatSize(fit.result.estimate).c_str(),
                FormatSize(space.freeBytes).c_str(), FormatSize(fit.result.allowed).c_str());
    else
        LogLine("Fit to the PSP: %zu file(s) take about %s at %d kbit/s, %s free (%s usable): %s missing",
                segments.size(), FormatSize(fit.result.estimate).c_str(), PspFit::kMinVideoBitrate,
                FormatSize(space.freeBytes).c_str(), FormatSize(fit.result.allowed).c_str(),
                FormatSize(fit.result.missing).c_str());
    return fit;
}

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Removes the outputs of a cancelled run; the text of the first failure.
std::string RemoveOutputs(const std::vector<std::string>& outputs, int removeMethod) {
    std::vector<std::string> existing;
    for (const auto& p : outputs) {
        if (Exists(p)) existing.push_back(p);
        if (Exists(ThumbnailPath(p))) existing.push_back(ThumbnailPath(p));
    }
    for (const auto& p : existing) {
        const bool ok = removeMethod == 1 ? storage::DeleteFile(p) : storage::MoveToTrash(p);
        if (!ok) {
            if (removeMethod != 1) return std::string();  // the trash gave up: the removal ends quietly
            LogLine("Delete file failed %s.", p.c_str());
            return "Delete file failed while trying to delete " + p + ".";
        }
    }
    return std::string();
}

}  // namespace

std::string FailedFilesText(const RunSummary& summary) {
    std::string text = "These files could not be converted:";
    for (const FileResult* f : summary.Failed()) text += "\n" + f->fileName + ": " + f->reason;
    return text;
}

WindUp WindUpRun(const RunSummary& summary, bool userStopped, int removeMethod) {
    WindUp w;
    if (userStopped) {
        w.end = RunEnd::Cancelled;
        w.removalFailure = RemoveOutputs(summary.ConvertedOutputs(), removeMethod);
        w.message = "Converting canceled.";
        return w;
    }
    if (summary.LastResult() == 0) {
        w.end = RunEnd::Failed;
        w.message = "Convert failed.";
        return w;
    }
    w.end = RunEnd::Succeeded;
    if (!summary.Failed().empty()) w.message = FailedFilesText(summary);
    w.toCopy = summary.ConvertedOutputs();
    return w;
}

}  // namespace kalvex
