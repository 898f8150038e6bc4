#include "platform/messages/Messages.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <map>
#include <mutex>

namespace kalvex {

QEvent::Type WinMessageEvent::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool PostMessage(QObject* target, unsigned msg, WPARAM wParam, LPARAM lParam) {
    if (!target) return false;
    QCoreApplication::postEvent(target, new WinMessageEvent(msg, wParam, lParam));
    return true;
}

LRESULT SendMessage(QObject* target, unsigned msg, WPARAM wParam, LPARAM lParam) {
    auto* handler = dynamic_cast<IMessageTarget*>(target);
    if (!handler) return 0;
    if (target->thread() == QThread::currentThread())
        return handler->HandleMessage(msg, wParam, lParam);
    LRESULT result = 0;
    QMetaObject::invokeMethod(
        target, [&] { result = handler->HandleMessage(msg, wParam, lParam); },
        Qt::BlockingQueuedConnection);
    return result;
}

bool DispatchMessageEvent(QEvent* e, IMessageTarget* target) {
    if (e->type() != WinMessageEvent::EventType()) return false;
    auto* m = static_cast<WinMessageEvent*>(e);
    target->HandleMessage(m->msg, m->wParam, m->lParam);
    return true;
}

namespace {
std::mutex g_regMutex;
std::map<std::string, unsigned>& Registered() {
    static std::map<std::string, unsigned> map;
    return map;
}
}  // namespace

unsigned RegisterWindowMessage(const std::string& name) {
    std::lock_guard lock(g_regMutex);
    auto& map = Registered();
    auto it = map.find(name);
    if (it != map.end()) return it->second;
    unsigned id = 0xC000 + static_cast<unsigned>(map.size());
    map.emplace(name, id);
    return id;
}

unsigned FindRegisteredMessage(const std::string& name) {
    std::lock_guard lock(g_regMutex);
    auto it = Registered().find(name);
    return it == Registered().end() ? 0 : it->second;
}

}  // namespace kalvex
