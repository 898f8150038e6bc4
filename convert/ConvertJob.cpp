#include "convert/ConvertJob.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "common/ProgramLog.h"
#include "convert/EncodeToPsp.h"
#include "convert/OutputFile.h"
#include "convert/PspOutputList.h"
#include "platform/system/CrashSignal.h"
#include "platform/system/ThreadName.h"

namespace kalvex {

// The encoder's view of the run: waits while paused, says when to stop and
// hands the frame count to the job's progress delivery.
class ConvertJob::Control : public EncodeControl {
public:
    Control(ConvertJob& job, ConvertProgress& progress) : job_(job), progress_(progress) {}

    bool Proceed(long framesDone, long totalFrames) override {
        job_.runEvent_.Wait();
        if (job_.stopEvent_.IsSet()) return false;
        const uint64_t now = TickCount();
        if (!started_) {
            started_ = true;
            startTick_ = now;
        }
        FillProgressTiming(progress_, framesDone, totalFrames, now - startTick_);
        // The first call of a file always reports, so a new file shows at
        // once, with its frame count (its output is open by then).
        job_.Deliver(progress_, !firstDelivered_);
        firstDelivered_ = true;
        return true;
    }

private:
    ConvertJob& job_;
    ConvertProgress& progress_;
    bool started_ = false;
    bool firstDelivered_ = false;
    uint64_t startTick_ = 0;
};

void FillProgressTiming(ConvertProgress& p, long framesDone, long totalFrames, uint64_t elapsedMs) {
    p.frame = framesDone;
    p.frameCount = totalFrames;
    const uint64_t msPerFrame = framesDone > 0 ? elapsedMs / uint64_t(framesDone) : 0;
    const uint64_t remaining = msPerFrame * uint64_t(totalFrames > framesDone ? totalFrames - framesDone : 0);
    p.elapsedSeconds = int(elapsedMs / 1000);
    p.estimateSeconds = int(remaining / 1000);
    // Before the first millisecond has passed there is no rate to show.
    p.fps = elapsedMs > 0 && framesDone > 0 ? double(framesDone) / (double(elapsedMs) / 1000.0) : 0.0;
}

ConvertJob::~ConvertJob() {
    Stop();
    Wait();
}

void ConvertJob::Wait() {
    if (thread_.joinable()) thread_.join();
}

bool ConvertJob::Start(RunRequest request, ConvertObserver* observer) {
    // A thread that has told its observer the end ends at once; one that
    // still converts keeps the new run from starting.
    if (thread_.joinable() && !finished_.load()) return false;
    Wait();
    request_ = std::move(request);
    observer_ = observer;
    // Armed here rather than on the new thread, so a Stop that comes right
    // after Start is never undone by the thread's own start.
    runEvent_.Set();
    stopEvent_.Reset();
    running_ = 1;
    finished_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ConvertJob::Stop() {
    if (running_.load()) {
        runEvent_.Set();
        stopEvent_.Set();
        running_ = 0;
    }
}

void ConvertJob::Deliver(const ConvertProgress& progress, bool force) {
    const uint64_t now = TickCount();
    if (!force && now - lastDelivery_ <= 1000) return;
    lastDelivery_ = now;
    if (observer_) observer_->OnProgress(progress);
}

void SetThreadLowPriority(bool low) {
    // Niceness belongs to each thread here; threads started later by this
    // one inherit it, the window thread keeps its own.
    const pid_t tid = pid_t(::syscall(SYS_gettid));
    if (::setpriority(PRIO_PROCESS, id_t(tid), low ? 19 : 0) != 0) {
        LogTimestamp();
        LogLine("Set thread priority to %s failed.", low ? "idle" : "normal");
        LOG_SYSTEM_ERROR(errno);
    }
}

void ConvertJob::Run() {
    InstallThreadCrashStack();
    NameThisThread("convert");
    if (request_.lowPriority) SetThreadLowPriority(true);
    const std::string& folder = request_.destinationFolder;
    RemoveStaleTempOutputs(folder);

    std::vector<std::string> sources;
    for (const auto& e : request_.files) sources.push_back(FieldText(e.fullPath));

    RunSummary summary;
    const int count = int(request_.files.size());
    for (int i = 0; i < count; ++i) {
        const VideoFileEntry& entry = request_.files[size_t(i)];
        FileResult result;
        result.index = i;
        result.source = sources[size_t(i)];
        result.fileName = FieldText(entry.fileName);
        bool renamed = false;
        result.output = OutputPathAvoiding(folder, result.fileName, sources, &renamed);
        if (renamed)
            LogLine("%s would overwrite a source of this run; writing %s instead",
                    OutputPath(folder, result.fileName).c_str(), result.output.c_str());

        if (stopEvent_.IsSet()) {
            // Stopped: the files after the current one are not started.
            result.outcome = FileOutcome::Stopped;
        } else {
            ConvertProgress progress;
            progress.fileIndex = i;
            progress.fileCount = count;
            progress.fileName = result.fileName;
            Control control(*this, progress);
            EncodeRequest req;
            req.entry = entry;
            if (size_t(i) < request_.tracks.size()) req.tracks = request_.tracks[size_t(i)];
            req.outputPath = result.output;
            req.settings = request_.settings;
            req.videoBitrate = request_.settings.videoBitrate * 1000;
            req.audioBitrate = request_.settings.audioBitrate * 1000;
            EncodeResult r = EncodeToPsp(req, control);
            result.outcome = r.outcome;
            result.reason = r.reason;
            result.failure = r.failure;
            result.unreadableFrames = r.unreadableFrames;
            result.failureDetail = r.failureDetail;
        }
        if (result.outcome == FileOutcome::Converted) AddOutput(result.output);
        if (result.outcome == FileOutcome::Failed)
            LogLine("Convert failed %s", result.source.c_str());  // the encoder logged why
        if (observer_) observer_->OnFileDone(result);
        summary.files.push_back(std::move(result));
    }
    summary.stopped = stopEvent_.IsSet();
    running_ = 0;
    finished_ = true;
    if (observer_) observer_->OnFinished(summary);
}

}  // namespace kalvex
