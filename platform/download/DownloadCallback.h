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

#include "platform/download/SignedDownload.h"
#include "platform/download/UrlDownload.h"
#include "platform/messages/Messages.h"

namespace kalvex {

// wParam: bytes so far, lParam: total bytes (0 when unknown).
constexpr unsigned WM_DOWNLOAD_PROGRESS = WM_USER + 100;
// wParam: 1 when the download succeeded, else 0. lParam:
// kDownloadNotVerified when the file arrived but its signature did not
// verify (it was deleted), else 0.
constexpr unsigned WM_DOWNLOAD_DONE = WM_USER + 101;
constexpr long kDownloadNotVerified = 1;

// The one line the dialogs show when a download's signature fails.
extern const char* const kNotVerifiedText;

class CDownloadCallback : public IBindStatusCallback {
public:
    explicit CDownloadCallback(QObject* window) : window_(window) {}

    // Posts WM_DOWNLOAD_PROGRESS; answers E_ABORT once the cancel flag is
    // set or the program is ending (WorkerThreadsStopping).
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

// A status callback without a window: it only stops the transfer once the
// program is ending (WorkerThreadsStopping).
class StopAtExitCallback : public IBindStatusCallback {
public:
    urlmon::HRESULT OnProgress(uint32_t progress, uint32_t progressMax) override;
};

// How a finished download went, for the caller's log.
using DownloadReport = std::function<void(const SignedDownloadResult& result)>;

// Starts a worker thread (StartWorkerThread) that downloads url into file
// with the callback and keeps it only when its signature (url + ".sig")
// verifies with key (DownloadSigned), calls report (on that thread, may be
// empty), then posts WM_DOWNLOAD_DONE with 1 when the file is in place and
// verified, else 0 (with kDownloadNotVerified when the signature failed).
void StartDownloadThread(std::shared_ptr<CDownloadCallback> callback, std::string url, std::string file,
                         DownloadLimits limits, const DownloadKey& key, DownloadReport report = {});

}  // namespace kalvex
