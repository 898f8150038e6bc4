#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert/ConvertSettings.h"
#include "convert/ConvertProgress.h"
#include "convert/ManualResetEvent.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

// What a run converts, and how.
struct RunRequest {
    std::vector<VideoFileEntry> files;  // in order
    std::vector<TrackChoice> tracks;    // tracks[i] for files[i]; an entry past its end gets the defaults
    std::string destinationFolder;      // ends with '/'
    ConvertSettings settings;           // taken as they are when the run starts
    bool lowPriority = false;           // the run's threads at the lowest priority
};

// The conversion worker: walks a copy of the list on its own thread and
// encodes each entry into "<destination folder><file title>.mp4" (renamed
// to "<title>_psp.mp4" when that would be one of the run's sources). Reports
// progress, each file's result and the end of the run to an observer, as
// data, on the worker thread. Paused and stopped through two manual-reset
// events. After a stop, the file being converted ends without an output and
// the files after it are not started. One object serves many runs, one at a
// time.
class ConvertJob {
public:
    ConvertJob() = default;
    // Stops a run still in progress and waits for its thread.
    ~ConvertJob();
    ConvertJob(const ConvertJob&) = delete;
    ConvertJob& operator=(const ConvertJob&) = delete;

    // Starts a run. False (and nothing started) while an earlier run has not
    // finished. The observer must outlive the run.
    bool Start(RunRequest request, ConvertObserver* observer);

    // Wakes a paused worker and signals the stop.
    void Stop();
    void Pause() { runEvent_.Reset(); }
    void Resume() { runEvent_.Set(); }

    // True from Start until the observer was told the run finished (or Stop).
    bool IsRunning() const { return running_.load() != 0; }
    // Waits until the run's thread has ended.
    void Wait();

private:
    class Control;
    void Run();
    void Deliver(const ConvertProgress& progress, bool force);

    RunRequest request_;
    ConvertObserver* observer_ = nullptr;
    ManualResetEvent stopEvent_{false};
    ManualResetEvent runEvent_{true};
    std::atomic<uint8_t> running_{0};
    std::atomic<bool> finished_{true};  // the thread has nothing left but to end
    std::thread thread_;
    uint64_t lastDelivery_ = 0;  // tick of the last progress delivery
};

// Sets the frame, rate, elapsed and estimate of a file's progress after
// elapsedMs milliseconds: ms per frame = elapsed / framesDone (truncated),
// estimate = ms per frame x frames left; no rate before the first frame or
// the first millisecond.
void FillProgressTiming(ConvertProgress& progress, long framesDone, long totalFrames, uint64_t elapsedMs);

// Puts the calling thread, and the threads it starts later, at the lowest
// priority (or back to normal). A change the system refuses is logged.
void SetThreadLowPriority(bool low);

}  // namespace kalvex
