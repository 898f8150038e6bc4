#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include <QByteArray>

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
// <message> is a number or the name of a registered window message and both
// parameters are decimal numbers. Any local program of the user can write to
// the socket, so the first instance hands on only the requests it was given
// as accepted, without their parameters (a parameter could otherwise be
// taken as an address); every other line is dropped and reported.
struct InstanceRequest {
    QByteArray token;  // the <message> text of the line, compared exactly
    unsigned message;  // what the handler is given for it
};

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

    // The longest request line taken, without its line end; a longer one is
    // dropped, and a connection that sends more without a line end is cut.
    static constexpr int kMaxLineBytes = 256;

    // Starts listening; every accepted request calls handler(message) on
    // this object's thread, every other line calls rejected(reason) (when
    // given). A stale socket left by a crash is replaced.
    bool Publish(std::vector<InstanceRequest> accepted, std::function<void(unsigned)> handler,
                 std::function<void(const QString&)> rejected = {});

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
