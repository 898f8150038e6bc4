#include "convert/ConvertJob.h"

#include <QCoreApplication>
#include <QThread>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"

namespace kalvex {

ConvertJob::~ConvertJob() {
    if (!thread_.joinable()) return;
    Stop();
    // The worker may be waiting for this thread to take a progress message;
    // keep taking them until it has ended.
    const bool pump = QCoreApplication::instance() && QThread::currentThread()->eventDispatcher();
    while (threadActive_.load()) {
        if (pump)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        else
            std::this_thread::yield();
    }
    thread_.join();
}

std::string ConvertJob::OutputPath(const std::string& destination, const std::string& fileName) {
    const size_t slash = destination.rfind('/');
    const std::string folder = slash == std::string::npos ? destination : destination.substr(0, slash + 1);
    const size_t dot = fileName.rfind('.');
    const std::string title = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    return folder + title + ".mp4";
}

bool ConvertJob::Start(std::vector<VideoFileEntry> files, const std::string& destination, int option) {
    // A thread that has posted its finishing message ends at once; one that
    // still converts keeps the new run from starting.
    if (threadActive_.load() && !finishing_.load()) return false;
    if (thread_.joinable()) thread_.join();
    files_ = std::move(files);
    destination_ = destination;
    option_ = option;
    {
        std::lock_guard lock(resultsMutex_);
        results_.clear();
    }
    // Armed here rather than on the new thread, so a Stop that comes right
    // after Start is never undone by the thread's own start.
    runEvent_.Set();
    stopEvent_.Reset();
    running_ = 1;
    finishing_ = false;
    threadActive_ = true;
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

std::vector<bool> ConvertJob::Results() const {
    std::lock_guard lock(resultsMutex_);
    return results_;
}

void ConvertJob::Run() {
    const int count = int(files_.size());
    SendProgressRange(targets_.filesBar, 0, count);
    bool result = false;
    for (int i = 0; i < count; ++i) {
        SendProgressPos(targets_.filesBar, i + 1);
        char text[64];
        std::snprintf(text, sizeof text, "Files: %d/%d", i + 1, count);
        SendControlText(targets_.filesText, text);
        const VideoFileEntry& entry = files_[size_t(i)];
        const std::string output = OutputPath(destination_, FieldText(entry.fileName));
        result = EncodeToPsp(entry, output, AppSettings.convert.videoBitrate * 1000,
                             AppSettings.convert.audioBitrate * 1000, targets_, stopEvent_, runEvent_);
        std::lock_guard lock(resultsMutex_);
        results_.push_back(result);
    }
    running_ = 0;
    finishing_ = true;
    PostMessage(notify_, WM_CONVERT_FINISHED, result ? 1 : 0, 0);
    threadActive_ = false;
}

}  // namespace kalvex
