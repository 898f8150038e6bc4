#pragma once
#include <string>
#include <vector>

namespace kalvex {

// Where a conversion run stands, as plain data. The job hands a copy to its
// observer at most once a second and at every change of file; front ends
// turn it into their own texts.
struct ConvertProgress {
    int fileIndex = 0;         // 0-based index of the file being converted
    int fileCount = 0;
    long frame = 0;            // frames done of the current file
    long frameCount = 0;       // frames of the current file
    double fps = 0;            // frames per second since the file started
    int elapsedSeconds = 0;    // since the file started
    int estimateSeconds = 0;   // left for the current file, at the current rate
    std::string fileName;      // the current file's name (without folder)

    // Percent of the current file done, truncated.
    int Percent() const { return frameCount > 0 ? int(double(frame) / double(frameCount) * 100.0) : 0; }
};

enum class FileOutcome {
    Converted,  // the output is complete under its final name
    Failed,     // nothing was written under the final name; reason says why
    Stopped,    // the run was stopped before this file was complete; no output
};

// What kind of failure ended a file, for the front ends to word and handle
// as they do; the reason carries the details.
enum class FailureKind {
    None,              // not failed
    ScriptNotWritten,  // the conversion script could not be written
    SourceNotOpened,   // the script engine could not open the source
    Other,             // any other step failed
};

// "Generate avs file failed from <source>!": the log line and the text the
// user is told when a file's conversion script cannot be written.
std::string ScriptNotWrittenText(const std::string& source);

// What became of one file of a run.
struct FileResult {
    int index = 0;            // 0-based position in the run
    FileOutcome outcome = FileOutcome::Failed;
    std::string source;       // the source's full path
    std::string fileName;     // the source's file name
    std::string output;       // the final output path (set also when the file failed)
    std::string reason;       // why it failed (empty otherwise)
    FailureKind failure = FailureKind::None;
    long unreadableFrames = 0;  // pictures that could not be read and repeat the last good one
    // The engine's own text for SourceNotOpened (may be empty); empty for
    // the other kinds.
    std::string failureDetail;
};

// The whole run, handed to the observer when it has ended.
struct RunSummary {
    std::vector<FileResult> files;  // in list order
    bool stopped = false;           // the run was stopped
    // 1 when the last file converted, 0 when it failed, was stopped or the
    // list was empty (the finishing result of the page).
    int LastResult() const {
        return !files.empty() && files.back().outcome == FileOutcome::Converted ? 1 : 0;
    }
    std::vector<std::string> ConvertedOutputs() const {
        std::vector<std::string> out;
        for (const auto& f : files)
            if (f.outcome == FileOutcome::Converted) out.push_back(f.output);
        return out;
    }
    std::vector<const FileResult*> Failed() const {
        std::vector<const FileResult*> out;
        for (const auto& f : files)
            if (f.outcome == FileOutcome::Failed) out.push_back(&f);
        return out;
    }
};

// Receives a run's progress on the job's worker thread. Implementations
// hand the data to their own thread (a window) or print it (the command
// line); they must not block for long and never open a window themselves.
class ConvertObserver {
public:
    virtual ~ConvertObserver() = default;
    // At most once a second, and at every change of file.
    virtual void OnProgress(const ConvertProgress& progress) {}
    // After each file.
    virtual void OnFileDone(const FileResult& result) {}
    // Once, at the end of the run; the last call the job makes.
    virtual void OnFinished(const RunSummary& summary) {}
};

}  // namespace kalvex
