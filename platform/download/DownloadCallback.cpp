#include "platform/download/DownloadCallback.h"
#include "platform/system/CrashSignal.h"

#include <thread>

namespace kalvex {

urlmon::HRESULT CDownloadCallback::OnProgress(uint32_t progress, uint32_t progressMax) {
    Post(WM_DOWNLOAD_PROGRESS, WPARAM(progress), LPARAM(progressMax));
    return Cancelled() ? urlmon::E_ABORT : urlmon::S_OK;
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
                         DownloadLimits limits, DownloadReport report) {
    std::thread([callback = std::move(callback), url = std::move(url), file = std::move(file), limits,
                 report = std::move(report)] {
        InstallThreadCrashStack();
        std::string error;
        urlmon::HRESULT hr = URLDownloadToFile(url, file, callback.get(), limits, &error);
        if (report) report(hr, error);
        callback->Post(WM_DOWNLOAD_DONE, hr == urlmon::S_OK ? 1 : 0, 0);
    }).detach();
}

}  // namespace kalvex
