#include "platform/download/DownloadCallback.h"

#include "platform/download/WorkerThreads.h"

namespace kalvex {

const char* const kNotVerifiedText = "The downloaded file could not be verified and was deleted.";

urlmon::HRESULT CDownloadCallback::OnProgress(uint32_t progress, uint32_t progressMax) {
    Post(WM_DOWNLOAD_PROGRESS, WPARAM(progress), LPARAM(progressMax));
    return Cancelled() || WorkerThreadsStopping() ? urlmon::E_ABORT : urlmon::S_OK;
}

urlmon::HRESULT StopAtExitCallback::OnProgress(uint32_t, uint32_t) {
    return WorkerThreadsStopping() ? urlmon::E_ABORT : urlmon::S_OK;
}

bool CDownloadCallback::Post(unsigned msg, WPARAM wParam, LPARAM lParam) {
    // Posting under the lock: the window cannot be destroyed in between,
    // since it detaches (taking the lock) before it goes.
    std::lock_guard lock(mutex_);
    return window_ && PostMessage(window_, msg, wParam, lParam);
}

void CDownloadCallback::Detach() {
    std::lock_guard lock(mutex_);
    window_ = nullptr;
}

void StartDownloadThread(std::shared_ptr<CDownloadCallback> callback, std::string url, std::string file,
                         DownloadLimits limits, const DownloadKey& key, DownloadReport report) {
    std::shared_ptr<CDownloadCallback> owner = callback;
    const bool started = StartWorkerThread([callback = std::move(callback), url = std::move(url),
                                            file = std::move(file), limits, key, report = std::move(report)] {
        const SignedDownloadResult r = DownloadSigned(url, file, callback.get(), limits, key, [&callback] {
            return callback->Cancelled() || WorkerThreadsStopping();
        });
        if (report) report(r);
        const bool done = r.end == DownloadEnd::Verified;
        callback->Post(WM_DOWNLOAD_DONE, done ? 1 : 0, r.end == DownloadEnd::NotVerified ? kDownloadNotVerified : 0);
    });
    // The program is ending: no download starts, and the window is told so.
    if (!started) owner->Post(WM_DOWNLOAD_DONE, 0, 0);
}

}  // namespace kalvex
