#include "media/page/CodecPackOffer.h"

#include <QCoreApplication>
#include <QString>
#include <QThread>
#include <mutex>

#include "common/ProgramLog.h"
#include "media/SourceReader.h"
#include "common/ui/Dialogs.h"

namespace kalvex {
namespace {
std::mutex g_offerMutex;
std::function<void()> g_offer;

std::function<void()> Offer() {
    std::lock_guard lock(g_offerMutex);
    return g_offer;
}
}  // namespace

void SetCodecPackOffer(std::function<void()> offer) {
    std::lock_guard lock(g_offerMutex);
    g_offer = std::move(offer);
}

void ReportSourceOpenFailure(const std::string& text) {
    // Windows belong to the window thread; a worker waits for the answer.
    if (QCoreApplication* app = QCoreApplication::instance(); app && QThread::currentThread() != app->thread()) {
        QMetaObject::invokeMethod(app, [text] { ReportSourceOpenFailure(text); }, Qt::BlockingQueuedConnection);
        return;
    }
    auto offer = Offer();
    if (!KLiteCodecPackIsMega() && offer) {
        LogLine("Offering the codec pack download");
        offer();
        return;
    }
    MessageBox(QString::fromUtf8(text.c_str()), "Error!", MB_OK | MB_ICONWARNING);
}

}  // namespace kalvex
