#pragma once
#include <QObject>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert/EncodeToPsp.h"
#include "convert/ManualResetEvent.h"
#include "convert/ProgressTargets.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

// The conversion worker: walks a copy of the list on its own thread,
// encodes each entry into "<destination folder><file title>.mp4" and posts
// WM_CONVERT_FINISHED (wParam: result of the last file, 0 for an empty list)
// to the notify window. Paused and stopped through two manual-reset events.
// One object serves many runs, one at a time.
class ConvertJob {
public:
    ConvertJob() = default;
    // Stops a run still in progress and waits for its thread.
    ~ConvertJob();
    ConvertJob(const ConvertJob&) = delete;
    ConvertJob& operator=(const ConvertJob&) = delete;

    void SetNotifyWindow(QObject* window) { notify_ = window; }
    void SetProgressTargets(const ProgressTargets& targets) { targets_ = targets; }
    const ProgressTargets& Targets() const { return targets_; }

    // Starts a run over a copy of files; only the directory part of
    // destination is used. option is kept for the caller and not used here.
    // False (and nothing started) while the thread of an earlier run is
    // still going.
    bool Start(std::vector<VideoFileEntry> files, const std::string& destination, int option = 0);

    // Stop: wakes a paused worker and signals the stop; the worker ends the
    // current file properly and runs through the rest without frames.
    void Stop();
    void Pause() { runEvent_.Reset(); }
    void Resume() { runEvent_.Set(); }

    // 1 from Start until the finishing message is posted (or Stop).
    bool IsRunning() const { return running_.load() != 0; }
    // True while the thread of a run has not ended yet.
    bool ThreadActive() const { return threadActive_.load(); }

    ManualResetEvent& StopEvent() { return stopEvent_; }
    ManualResetEvent& RunEvent() { return runEvent_; }
    int Option() const { return option_; }

    // The result of every file of the last run, in list order.
    std::vector<bool> Results() const;

    // The output path of a file: the directory part of destination (up to
    // and including its last '/'; all of it when it has none), the file name
    // without its last extension, then ".mp4".
    static std::string OutputPath(const std::string& destination, const std::string& fileName);

private:
    void Run();

    QObject* notify_ = nullptr;
    ProgressTargets targets_;
    std::vector<VideoFileEntry> files_;
    std::string destination_;
    int option_ = 0;
    ManualResetEvent stopEvent_{false};
    ManualResetEvent runEvent_{true};
    std::atomic<uint8_t> running_{0};
    std::atomic<bool> threadActive_{false};
    std::atomic<bool> finishing_{false};  // the thread has nothing left but to end
    std::thread thread_;
    mutable std::mutex resultsMutex_;
    std::vector<bool> results_;
};

}  // namespace kalvex
