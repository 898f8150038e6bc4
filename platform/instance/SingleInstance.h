#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QLocalServer;

namespace kalvex {

// Decides the first instance of the program for this user and carries
// messages from later starts to it.
//
// The lock (a flock on "Kalvex.lock" in the runtime folder) takes the place
// of the named mutex: the kernel drops it when its owner dies, so a crash
// never locks the user out. Publishing starts a local socket server
// ("KalvexShareMem" in the same folder) that takes the place of the shared
// block holding the window handle: a later start connects and posts a
// message; when nothing listens yet it has nothing to post to.
//
// Each request is one line "POST <message> <wParam> <lParam>", where
// <message> is a number or the name of a registered window message.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process now holds the lock (the first instance). Also
    // true when the lock file cannot be made at all: the program then runs
    // as a normal first instance.
    bool Acquire();
    bool IsFirst() const { return lockFd_ >= 0 || lockUnavailable_; }

    // Starts listening; every request calls handler(message, wParam, lParam)
    // on this object's thread. A stale socket left by a crash is replaced.
    bool Publish(std::function<void(unsigned, uintptr_t, intptr_t)> handler);

    void Release();

    static QString LockPath();
    static QString ServerName();

    // Posts a message to the published first instance. False when nothing
    // listens (not running, or not published yet).
    static bool PostToFirst(const QString& message, uintptr_t wParam = 0, intptr_t lParam = 0,
                            int timeoutMs = 3000);

private:
    int lockFd_ = -1;
    bool lockUnavailable_ = false;
    QLocalServer* server_ = nullptr;
};

}  // namespace kalvex
