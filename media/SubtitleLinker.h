#pragma once
// Finding subtitle files beside a video and linking them into its entry:
// the candidate search, the readers tried on each candidate, and the
// subtitle fields of the VideoFileEntry they fill. No windows here: the
// page and the command line call these and word their own messages.
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/VideoFileEntry.h"
#include "subtitles/ReadError.h"

namespace kalvex {

class ISubStream;

// Extension patterns appended to the video's title, in search order. List 1
// is also the file filter of "Load Subtitle".
constexpr int kSubtitlePatternCount = 11;
extern const char* const kSubtitlePatterns1[kSubtitlePatternCount];
extern const char* const kSubtitlePatterns2[kSubtitlePatternCount];

// "Subtitle Files|*.srt;*.sub;...||": the Load Subtitle filter, built from list 1.
std::string SubtitleFileFilter();

// The subtitle files that belong to a video, sorted by full path without
// regard to case. folders: where to look (each with or without a closing
// "/"; a relative one is taken inside the video's folder). A video path
// holding "http://" after its first character is a web source: its
// candidates are the lines with "://" of the ".wse" list beside it. A folder
// that cannot be read gives no candidates.
std::vector<std::string> FindSubtitleFiles(const std::string& videoPath, const std::vector<std::string>& folders);

// The folder of a path with its closing "/" ("" for a bare name).
std::string FolderOf(const std::string& path);

// What the readers have to tell the user while linking, handed on as data:
// the page shows it in message boxes, the command line prints it. Empty
// functions: nothing is said (the readers log what matters).
struct SubtitleReadReport {
    // A reader refused the candidate path and says why.
    std::function<void(const std::string& path, const SubtitleReadError& error)> failed;
    // An entry of the subtitle path names a style that no style line
    // defines; asked as UnknownStyleQuestion is (true: keep warning).
    std::function<bool(const std::string& path, const QString& style)> unknownStyle;
};

// The linking state of one source: the candidates to try, the names already
// taken and the subtitle objects that were accepted.
class SubtitleLinker {
public:
    SubtitleLinker();
    ~SubtitleLinker();
    SubtitleLinker(const SubtitleLinker&) = delete;
    SubtitleLinker& operator=(const SubtitleLinker&) = delete;

    void SetCandidates(std::vector<std::string> candidates) { candidates_ = std::move(candidates); }
    // Where the readers' messages go while linking.
    void SetReport(SubtitleReadReport report) { report_ = std::move(report); }
    const std::vector<std::string>& Candidates() const { return candidates_; }

    // Reads every candidate (VobSub first, then text) and writes the
    // subtitle fields of the entry; the entry's previous links are replaced.
    // At most 20 files and 10 stream names per file are kept; a file whose
    // path does not fit the entry's 260-byte field is left out. Returns the
    // number of subtitle files linked.
    int LinkSubtitles(VideoFileEntry& entry);

    const std::vector<std::string>& LoadedNames() const { return loadedNames_; }
    const std::vector<std::string>& LinkedPaths() const { return linkedPaths_; }
    // The accepted subtitle objects, in linking order.
    int ObjectCount() const { return int(objects_.size()); }
    // The last reason a reader gave while linking (kind None when none did).
    const SubtitleReadError& LastReadError() const { return lastError_; }

private:
    // The reader that accepts the path, or null; *linked is the path the
    // entry stores, *extraName a further name that counts as loaded.
    std::unique_ptr<ISubStream> Open(const std::string& path, std::string* linked, std::string* extraName,
                                     bool* extraIsLinked);

    std::vector<std::string> candidates_;
    std::vector<std::string> loadedNames_;
    std::vector<std::string> linkedPaths_;
    std::vector<std::unique_ptr<ISubStream>> objects_;
    SubtitleReadReport report_;
    SubtitleReadError lastError_;
};

// Candidates from the video's own folder, then LinkSubtitles: what happens
// when a file is added and for each entry of Auto Load. Returns the number
// of subtitle files linked. The readers' messages go to report.
int AutoLinkOne(VideoFileEntry& entry, const SubtitleReadReport& report = {});

// Links exactly one subtitle file, chosen by hand, and selects the given
// stream of it (for the command line). The entry's previous links are
// replaced in any case. False, with the reason in *reason (the reader's own
// when it gave one), when no reader accepts the file or it lacks the stream.
bool LinkSubtitleFile(VideoFileEntry& entry, const std::string& path, int stream, std::string* reason,
                      const SubtitleReadReport& report = {});

}  // namespace kalvex
