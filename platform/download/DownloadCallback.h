#pragma once
// The status callback of the program's downloads (update installer, codec
// pack): it posts the progress to a window and stops the download once its
// cancel flag is set. The downloading thread is never joined, so the
// callback is shared between the window and the thread and the window
// detaches itself before it goes away; posts after that go nowhere.
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/download/UrlDownload.h"
#include "platform/messages/Messages.h"

namespace kalvex {

// wParam: bytes so far, lParam: total bytes (0 when unknown).
constexpr unsigned WM_DOWNLOAD_PROGRESS = WM_USER + 100;
// wParam: 1 when the download succeeded, else 0.
constexpr unsigned WM_DOWNLOAD_DONE = WM_USER + 101;

class CDownloadCallback : public IBindStatusCallback {
public:
    explicit CDownloadCallback(QObject* window) : window_(window) {}

    // Posts WM_DOWNLOAD_PROGRESS; answers E_ABORT once the cancel flag is set.
    urlmon::HRESULT OnProgress(uint32_t progress, uint32_t progressMax) override;

    void Cancel() { cancel_.store(1); }
    bool Cancelled() const { return cancel_.load() != 0; }

    // Posts a message to the window while it is attached.
    bool Post(unsigned msg, WPARAM wParam, LPARAM lParam);
    // The window is going away: nothing is posted to it any more.
    void Detach();

private:
    std::mutex mutex_;
    QObject* window_;
    std::atomic<int> cancel_{0};
};

// How a finished download went, for the caller's log.
using DownloadReport = std::function<void(urlmon::HRESULT result, const std::string& error)>;

// Starts a detached thread that downloads url into file with the callback,
// calls report (on that thread, may be empty), then posts WM_DOWNLOAD_DONE
// with 1 on plain success, else 0.
void StartDownloadThread(std::shared_ptr<CDownloadCallback> callback, std::string url, std::string file,
                         DownloadLimits limits, DownloadReport report = {});

}  // namespace kalvex
