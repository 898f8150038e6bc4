#include "common/ui/grindel/Grindel.h"

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QPointer>

#include "platform/messages/Messages.h"

namespace kalvex {

namespace {

// An application-wide event filter: a key press anywhere is posted to the
// hooked window. Auto-repeats of a held key count as one press; the key
// itself still reaches the focused widget.
class KeyboardHook : public QObject {
public:
    QPointer<QObject> target;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyRelease) last_ = nullptr;  // the next press is a new one
        if (event->type() == QEvent::KeyPress && target) {
            auto* key = static_cast<QKeyEvent*>(event);
            // One press passes the filter several times (its window, the
            // focus widget, the parents it propagates to): counted once.
            const bool seen = key == last_ && key->timestamp() == lastTime_ && key->key() == lastKey_;
            last_ = key;
            lastTime_ = key->timestamp();
            lastKey_ = key->key();
            if (!seen && !key->isAutoRepeat()) PostMessage(target, WM_KEYBOARD_HOOK, WPARAM(key->key()), 0);
        }
        return false;
    }

private:
    const QKeyEvent* last_ = nullptr;
    quint64 lastTime_ = 0;
    int lastKey_ = 0;
};

KeyboardHook* gHook = nullptr;

}  // namespace

void SetKeyboardHook(QObject* window) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    if (!gHook) {
        gHook = new KeyboardHook;
        app->installEventFilter(gHook);
    }
    gHook->target = window;
}

void UnsetKeyboardHook() {
    if (!gHook) return;
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(gHook);
    delete gHook;
    gHook = nullptr;
}

}  // namespace kalvex
