#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "convert/ConvertProgress.h"
#include "convert/ConvertSettings.h"
#include "convert/psp/PspFit.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

// The Convert section of set.ini: the destination and the three boxes of
// the Convert page. Read and written together; the command line reads the
// same keys.
struct ConvertPageSettings {
    std::string destPath;
    int copyToPsp = 1;
    int lowCpu = 0;
    int deleteAfterCopied = 0;
    int oldPspFolders = 0;  // OldPspFolders: copy where older PSP system software looks
    int fitToPsp = 0;       // FitToPsp: the video bit rate chosen so the batch fits the PSP
    static std::string DefaultDestPath();  // home folder + "dvd-vob/"
    // A DestPath too long for its field is never cut: the default folder is
    // used and *refusal (when given) says why.
    static ConvertPageSettings Load(std::string* refusal = nullptr);
    void Save() const;
};

// The rules of a conversion run that both front ends (the Convert page and
// `Kalvex --convert`) follow, so that both check the same things before a
// run and leave the same files after it.

// The text shown for each segment left out because it has no length.
extern const char* const kZeroLengthText;  // "Can't convert movie segment with length equal 0"

// The entries worth converting: those whose end lies after their start.
// Each one left out adds its file name to *refused (when given).
std::vector<VideoFileEntry> SegmentsToConvert(const std::vector<VideoFileEntry>& entries,
                                              std::vector<std::string>* refused = nullptr);
// The track choices that go with SegmentsToConvert(entries): choices[i]
// belongs to entries[i] (defaults past its end), and the choices of the
// entries left out are left out too, so the two stay side by side.
std::vector<TrackChoice> SegmentTrackChoices(const std::vector<VideoFileEntry>& entries,
                                             const std::vector<TrackChoice>& choices);

// The length check at Start: the total whole seconds of the segments and the
// average bit rate a DVD would allow for them. Refused when the rate falls
// below 2000 kbit/s (with the defaults, more than 15,980 s in all).
struct LengthCheck {
    int64_t seconds = 0;
    int rate = 0;
    bool refused = false;
};
LengthCheck CheckTotalLength(const std::vector<VideoFileEntry>& segments, int maximalRate);
extern const char* const kTooLongText;  // "You have selected too long movie, it can't be saved in one DVD disc"

// The destination as a run uses it: a '/' appended when it lacks one, and
// the folder made with its parents. False with the reason when the folder
// cannot be made.
bool PrepareDestination(std::string& destPath, std::string* reason);

// The batch as the PSP fit estimates it: each segment's running time after
// its trim, the output's picture and sample rates (the settings', else the
// source's own) and the size of the title box its file will carry.
std::vector<PspFitFile> FitFilesFor(const std::vector<VideoFileEntry>& segments, const ConvertSettings& settings);

// Fitting a run to the PSP mounted at pspRoot: its free space measured and
// the video bit rate chosen for the segments (PspFit::Choose). measured is
// false, with the reason, when the free space cannot be read. The choice or
// the refusal is logged.
struct RunFit {
    bool measured = false;
    std::string reason;
    PspFitResult result;
};
RunFit FitRunToPsp(const std::vector<VideoFileEntry>& segments, const ConvertSettings& settings,
                   const std::string& pspRoot);

// How a run ended and what the front end does about it.
enum class RunEnd {
    Cancelled,  // stopped by the user: the run's outputs are removed
    Failed,     // the last file failed: nothing is copied
    Succeeded,  // the last file converted: the converted outputs may be copied
};
struct WindUp {
    RunEnd end = RunEnd::Succeeded;
    // The box to show at the end ("Converting canceled.", "Convert failed.",
    // or the list of files that failed when others converted); empty when
    // every file converted.
    std::string message;
    // A removal that failed after a cancel: its box text; the removal
    // stopped there.
    std::string removalFailure;
    // The outputs to copy to the PSP (Succeeded only): the converted files.
    std::vector<std::string> toCopy;
};

// Winds up a finished run. After a user stop the outputs this run wrote
// (with their thumbnails) are removed (removeMethod 1: deleted for good, stopping at the first failure;
// any other: moved to the trash, ending at the first failure).
WindUp WindUpRun(const RunSummary& summary, bool userStopped, int removeMethod);

// "These files could not be converted:" and a line per failed file with
// its reason.
std::string FailedFilesText(const RunSummary& summary);

}  // namespace kalvex
