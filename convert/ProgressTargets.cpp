#include "convert/ProgressTargets.h"

#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QVariant>
#include <atomic>

namespace kalvex {

namespace {

std::atomic<QObject*> g_mainWindow{nullptr};

// Runs f on the target's thread and waits for it: at once when that is the
// calling thread, otherwise as a blocking queued call. A target destroyed
// before the call runs releases the caller without running f.
template <typename F>
void RunOnTargetThread(QObject* target, F f) {
    if (target->thread() == QThread::currentThread() || !target->thread()->isRunning()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(target, f, Qt::BlockingQueuedConnection);
}

}  // namespace

void SendProgressRange(QObject* target, int low, int high) {
    if (!target) return;
    if (dynamic_cast<IMessageTarget*>(target)) {
        SendMessage(target, PBM_SETRANGE32, WPARAM(low), LPARAM(high));
        return;
    }
    RunOnTargetThread(target, [target, low, high] {
        target->setProperty("minimum", low);
        target->setProperty("maximum", high);
    });
}

void SendProgressPos(QObject* target, int pos) {
    if (!target) return;
    if (dynamic_cast<IMessageTarget*>(target)) {
        SendMessage(target, PBM_SETPOS, WPARAM(pos), 0);
        return;
    }
    RunOnTargetThread(target, [target, pos] { target->setProperty("value", pos); });
}

void SendControlText(QObject* target, const std::string& text) {
    if (!target) return;
    if (dynamic_cast<IMessageTarget*>(target)) {
        SendMessage(target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return;
    }
    RunOnTargetThread(target, [target, &text] { target->setProperty("text", QString::fromLocal8Bit(text.c_str())); });
}

void SetAppMainWindow(QObject* window) { g_mainWindow = window; }
QObject* AppMainWindow() { return g_mainWindow; }

LRESULT TextControl::HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard lock(mutex_);
        switch (msg) {
            case WM_SETTEXT:
                text_ = lParam ? reinterpret_cast<const char*>(lParam) : "";
                ++textChanges_;
                break;
            case PBM_SETRANGE32:
                low_ = int(wParam);
                high_ = int(lParam);
                break;
            case PBM_SETPOS:
                pos_ = int(wParam);
                ++posChanges_;
                break;
            default: break;
        }
    }
    Changed(msg);
    return 0;
}

bool TextControl::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QObject::event(e);
}

std::string TextControl::Text() const {
    std::lock_guard lock(mutex_);
    return text_;
}
int TextControl::Pos() const {
    std::lock_guard lock(mutex_);
    return pos_;
}
int TextControl::Low() const {
    std::lock_guard lock(mutex_);
    return low_;
}
int TextControl::High() const {
    std::lock_guard lock(mutex_);
    return high_;
}
int TextControl::TextChanges() const {
    std::lock_guard lock(mutex_);
    return textChanges_;
}
int TextControl::PosChanges() const {
    std::lock_guard lock(mutex_);
    return posChanges_;
}

}  // namespace kalvex
