#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>
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
//
// A request marked as carrying paths (files handed to the running window)
// is "POST <message> <n> 0" followed by n lines, one path each, where every
// byte other than a letter, a digit or one of "-._~/" is written as "%XX"
// (so a path may hold any byte but NUL). The first instance answers it with
// one line: "ACCEPTED <taken> <n>" or "REFUSED <why>". More than
// kMaxPathsPerRequest paths refuse the whole request (its path lines are
// read and dropped); a single path longer than kMaxPathBytes, holding a NUL
// byte or written otherwise than above is dropped and reported, and the
// other paths of the request are handed on.
struct InstanceRequest {
    QByteArray token;  // the <message> text of the line, compared exactly
    unsigned message;  // what the handler is given for it
    bool carriesPaths = false;
};

// The first instance's answer to a request that carries paths.
struct PathsAnswer {
    bool accepted = false;
    int taken = 0;     // paths the receiver took
    QString refusal;   // why nothing was taken, when not accepted
};
using PathsHandler = std::function<PathsAnswer(unsigned message, const std::vector<std::string>& paths)>;

// How handing paths to the first instance ended, seen from the sender.
struct PathsHandOver {
    enum Status { NotListening, NoAnswer, Accepted, Refused };
    Status status = NotListening;
    int taken = 0;
    QString refusal;
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
    // The most paths one request carries, and the longest path (in bytes,
    // before encoding) taken.
    static constexpr int kMaxPathsPerRequest = 1000;
    static constexpr int kMaxPathBytes = 4096;
    // A path line is at most three bytes per path byte.
    static constexpr int kMaxPathLineBytes = 3 * kMaxPathBytes;

    // Starts listening; every accepted request calls handler(message) on
    // this object's thread, every other line calls rejected(reason) (when
    // given). A stale socket left by a crash is replaced.
    // A request that carries paths calls pathsHandler(message, paths) with
    // the paths that passed the checks above; its answer goes back to the
    // sender. Without a pathsHandler such requests are refused.
    bool Publish(std::vector<InstanceRequest> accepted, std::function<void(unsigned)> handler,
                 std::function<void(const QString&)> rejected = {}, PathsHandler pathsHandler = {});

    void Release();

    static QString LockPath();
    static QString ServerName();

    // Posts a message to the published first instance. False when nothing
    // listens (not running, or not published yet).
    static bool PostToFirst(const QString& message, uintptr_t wParam = 0, intptr_t lParam = 0,
                            int timeoutMs = 3000);

    // Sends one request carrying `paths` to the published first instance
    // and waits at most timeoutMs for its answer. The paths are sent as
    // they are; the receiver applies the limits.
    static PathsHandOver HandPathsToFirst(const QString& message, const std::vector<std::string>& paths,
                                          int timeoutMs = 30000);

    // The encoding of one path line, and its strict reading (false for a
    // line that is not written as the encoding writes it).
    static QByteArray EncodePath(const std::string& path);
    static bool DecodePath(const QByteArray& line, std::string* path);

private:
    int lockFd_ = -1;
    bool lockUnavailable_ = false;
    QLocalServer* server_ = nullptr;
};

}  // namespace kalvex
