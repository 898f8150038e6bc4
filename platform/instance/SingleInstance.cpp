#include "platform/instance/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QLocalServer>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <algorithm>

#include "platform/messages/Messages.h"
#include "platform/system/Folders.h"

namespace kalvex {

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() { Release(); }

QString SingleInstance::LockPath() { return QString::fromStdString(RuntimeFolder()) + "Kalvex.lock"; }

QString SingleInstance::ServerName() {
    return QString::fromStdString(RuntimeFolder()) + "KalvexShareMem";
}

bool SingleInstance::Acquire() {
    if (lockFd_ >= 0) return true;
    // O_CLOEXEC: programs started from here (the crash prompt, the uploader)
    // must not inherit the lock.
    int fd = ::open(LockPath().toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        lockUnavailable_ = true;
        return true;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    return true;
}

namespace {

// A short, printable excerpt of a line for the log: a hostile line may be
// long and hold any bytes.
QString Excerpt(const QByteArray& line) {
    QByteArray shown = line.left(60);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return QString::fromLatin1(shown) + (line.size() > 60 ? "..." : "");
}

bool IsDecimal(const QByteArray& text) {
    bool ok = false;
    if (text.startsWith('-'))
        text.toLongLong(&ok);
    else
        text.toULongLong(&ok);
    return ok;
}

}  // namespace

namespace {

// What a connection is in the middle of: reading the path lines of a
// request, or dropping those of a refused one.
struct PathLines {
    unsigned message = 0;
    qlonglong expected = 0;  // path lines still to come
    qlonglong total = 0;
    bool dropping = false;   // the request was refused: its lines are read and dropped
    std::vector<std::string> paths;
};

bool IsPlainPathByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

QByteArray ChopLineEnd(QByteArray line) {
    if (line.endsWith('\n')) line.chop(1);
    if (line.endsWith('\r')) line.chop(1);
    return line;
}

void Answer(QLocalSocket* s, const QByteArray& line) {
    QByteArray text = line;
    text.replace('\n', ' ');
    text.replace('\r', ' ');
    s->write(text + "\n");
    // Out at once: the receiver may be busy with the paths for a while.
    s->flush();
}

}  // namespace

QByteArray SingleInstance::EncodePath(const std::string& path) {
    QByteArray line;
    line.reserve(int(path.size()));
    static const char hex[] = "0123456789ABCDEF";
    for (char c : path) {
        if (IsPlainPathByte(c)) {
            line += c;
        } else {
            const auto b = static_cast<unsigned char>(c);
            line += '%';
            line += hex[b >> 4];
            line += hex[b & 15];
        }
    }
    return line;
}

bool SingleInstance::DecodePath(const QByteArray& line, std::string* path) {
    std::string out;
    out.reserve(size_t(line.size()));
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (IsPlainPathByte(c)) {
            out += c;
            continue;
        }
        if (c != '%' || i + 2 >= line.size()) return false;
        const int hi = HexValue(line[i + 1]), lo = HexValue(line[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += char(hi * 16 + lo);
        i += 2;
    }
    *path = std::move(out);
    return true;
}

bool SingleInstance::Publish(std::vector<InstanceRequest> accepted, std::function<void(unsigned)> handler,
                             std::function<void(const QString&)> rejected, PathsHandler pathsHandler) {
    if (server_) return true;
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(ServerName());  // a socket file left by a crash
    if (!server_->listen(ServerName())) {
        delete server_;
        server_ = nullptr;
        return false;
    }
    auto reject = [rejected](const QString& why) {
        if (rejected) rejected(why);
    };
    // One request line: handed on when it is an accepted request, reported
    // otherwise. A request carrying paths starts reading its path lines.
    auto take = [accepted, handler, reject, pathsHandler](const QByteArray& raw, QLocalSocket* s, PathLines& lines) {
        const QByteArray line = ChopLineEnd(raw);
        if (line.size() > kMaxLineBytes) {
            reject(QString("a line of %1 bytes").arg(line.size()));
            return;
        }
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 4 || parts[0] != "POST" || !IsDecimal(parts[2]) || !IsDecimal(parts[3])) {
            reject("a malformed line \"" + Excerpt(line) + "\"");
            return;
        }
        for (const InstanceRequest& r : accepted) {
            if (r.token != parts[1]) continue;
            if (!r.carriesPaths) {
                handler(r.message);
                return;
            }
            bool ok = false;
            const qlonglong n = parts[2].toLongLong(&ok);
            if (!ok || n < 1) {
                // No path lines follow; the connection goes on with the next request.
                reject("a request without paths \"" + Excerpt(line) + "\"");
                Answer(s, "REFUSED no paths");
                return;
            }
            lines = PathLines{};
            lines.message = r.message;
            lines.expected = lines.total = n;
            if (n > kMaxPathsPerRequest || !pathsHandler) {
                lines.dropping = true;
                const QString why = pathsHandler ? QString("a request of %1 paths (at most %2 are taken)")
                                                       .arg(n)
                                                       .arg(kMaxPathsPerRequest)
                                                 : QString("a request of paths that nothing takes");
                reject(why);
                Answer(s, "REFUSED " + why.toUtf8());
            }
            return;
        }
        reject("a request that is not taken from outside \"" + Excerpt(line) + "\"");
    };
    // One path line of the request being read; the request is handed on
    // with its last line.
    auto takePath = [reject, pathsHandler](const QByteArray& raw, QLocalSocket* s, PathLines& lines) {
        --lines.expected;
        if (!lines.dropping) {
            const QByteArray line = ChopLineEnd(raw);
            std::string path;
            if (!DecodePath(line, &path))
                reject("a path line that is not written as a path \"" + Excerpt(line) + "\"");
            else if (path.empty())
                reject("an empty path");
            else if (path.size() > size_t(kMaxPathBytes))
                reject(QString("a path of %1 bytes (at most %2 are taken)").arg(path.size()).arg(kMaxPathBytes));
            else if (path.find('\0') != std::string::npos)
                reject("a path holding a NUL byte \"" + Excerpt(line) + "\"");
            else
                lines.paths.push_back(std::move(path));
        }
        if (lines.expected > 0) return;
        if (lines.dropping) {
            lines = PathLines{};
            return;
        }
        PathsAnswer answer;
        if (lines.paths.empty())
            answer.refusal = QString("none of the %1 paths can be taken").arg(lines.total);
        else
            answer = pathsHandler(lines.message, lines.paths);
        if (answer.accepted)
            Answer(s, "ACCEPTED " + QByteArray::number(answer.taken) + " " + QByteArray::number(lines.total));
        else
            Answer(s, "REFUSED " + answer.refusal.toUtf8());
        lines = PathLines{};
    };
    connect(server_, &QLocalServer::newConnection, this, [this, take, takePath, reject] {
        while (QLocalSocket* s = server_->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            auto lines = std::make_shared<PathLines>();
            connect(s, &QLocalSocket::readyRead, this, [s, take, takePath, reject, lines] {
                while (s->isOpen() && s->canReadLine()) {
                    const QByteArray line = s->readLine();
                    if (lines->expected > 0)
                        takePath(line, s, *lines);
                    else
                        take(line, s, *lines);
                }
                if (!s->isOpen()) return;
                // Text without a line end is kept only up to one line's length.
                const qint64 longest = lines->expected > 0 ? kMaxPathLineBytes : kMaxLineBytes;
                if (s->bytesAvailable() > longest + 2) {
                    reject(QString("%1 bytes without a line end; the connection is closed").arg(s->bytesAvailable()));
                    s->abort();
                    s->deleteLater();
                }
            });
        }
    });
    return true;
}

void SingleInstance::Release() {
    if (server_) {
        server_->close();
        delete server_;
        server_ = nullptr;
    }
    if (lockFd_ >= 0) {
        flock(lockFd_, LOCK_UN);
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

bool SingleInstance::PostToFirst(const QString& message, uintptr_t wParam, intptr_t lParam,
                                 int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(ServerName());
    if (!socket.waitForConnected(timeoutMs)) return false;
    QByteArray line = "POST " + message.toUtf8() + " " + QByteArray::number(qulonglong(wParam)) +
                      " " + QByteArray::number(qlonglong(lParam)) + "\n";
    socket.write(line);
    bool ok = socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
    return ok;
}

PathsHandOver SingleInstance::HandPathsToFirst(const QString& message, const std::vector<std::string>& paths,
                                               int timeoutMs) {
    PathsHandOver result;
    QLocalSocket socket;
    socket.connectToServer(ServerName());
    if (!socket.waitForConnected(std::min(timeoutMs, 3000))) return result;
    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return int(std::max<qint64>(1, timeoutMs - clock.elapsed())); };
    QByteArray request = "POST " + message.toUtf8() + " " + QByteArray::number(qulonglong(paths.size())) + " 0\n";
    for (const std::string& path : paths) request += EncodePath(path) + "\n";
    socket.write(request);
    result.status = PathsHandOver::NoAnswer;
    // The answer may come before every line is written (a refused request
    // is answered at its first line).
    while (!socket.canReadLine()) {
        if (clock.elapsed() >= timeoutMs || socket.state() != QLocalSocket::ConnectedState) break;
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(std::min(left(), 100));
        else
            socket.waitForReadyRead(left());
    }
    if (socket.canReadLine()) {
        const QByteArray answer = ChopLineEnd(socket.readLine());
        const QList<QByteArray> parts = answer.split(' ');
        if (parts.size() == 3 && parts[0] == "ACCEPTED") {
            result.status = PathsHandOver::Accepted;
            result.taken = parts[1].toInt();
        } else if (answer.startsWith("REFUSED")) {
            result.status = PathsHandOver::Refused;
            result.refusal = QString::fromUtf8(answer.mid(8));
        }
    }
    // The rest of a refused request is still read by the first instance;
    // it is written out before the connection ends.
    while (socket.bytesToWrite() > 0 && socket.state() == QLocalSocket::ConnectedState && clock.elapsed() < timeoutMs)
        socket.waitForBytesWritten(left());
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(1000);
    return result;
}

}  // namespace kalvex
