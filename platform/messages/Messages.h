#pragma once
#include <QEvent>
#include <QObject>
#include <cstdint>
#include <string>

namespace kalvex {

// Private window messages keep their Windows names and values.
constexpr unsigned WM_USER = 0x0400;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

// A window message travelling through Qt's event queue: one event type that
// carries (message, wParam, lParam).
class WinMessageEvent : public QEvent {
public:
    WinMessageEvent(unsigned msg, WPARAM w, LPARAM l) : QEvent(EventType()), msg(msg), wParam(w), lParam(l) {}
    static QEvent::Type EventType();
    unsigned msg;
    WPARAM wParam;
    LPARAM lParam;
};

// A window that handles messages: its event() hands WinMessageEvents to
// HandleMessage (see MessageWindow below for the usual wiring).
class IMessageTarget {
public:
    virtual ~IMessageTarget() = default;
    virtual LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) = 0;
};

// Posts a message to a window; safe from any thread. False without target.
bool PostMessage(QObject* target, unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

// Sends a message and waits for its result: a direct call on the target's
// thread, a blocking queued call from any other thread.
LRESULT SendMessage(QObject* target, unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

// Dispatches e to target when it is a WinMessageEvent; true when it was one.
bool DispatchMessageEvent(QEvent* e, IMessageTarget* target);

// RegisterWindowMessage: the same name always gives the same id (from 0xC000).
unsigned RegisterWindowMessage(const std::string& name);
// The registered id of a name, or 0 when it was never registered.
unsigned FindRegisteredMessage(const std::string& name);

}  // namespace kalvex
