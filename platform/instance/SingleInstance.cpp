#include "platform/instance/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>

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

bool SingleInstance::Publish(std::vector<InstanceRequest> accepted, std::function<void(unsigned)> handler,
                             std::function<void(const QString&)> rejected) {
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
    // One line: handed on when it is an accepted request, reported otherwise.
    auto take = [accepted, handler, reject](const QByteArray& raw) {
        QByteArray line = raw;
        if (line.endsWith('\n')) line.chop(1);
        if (line.endsWith('\r')) line.chop(1);
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
            if (r.token == parts[1]) {
                handler(r.message);
                return;
            }
        }
        reject("a request that is not taken from outside \"" + Excerpt(line) + "\"");
    };
    connect(server_, &QLocalServer::newConnection, this, [this, take, reject] {
        while (QLocalSocket* s = server_->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [s, take, reject] {
                while (s->canReadLine()) take(s->readLine());
                // Text without a line end is kept only up to one line's length.
                if (s->bytesAvailable() > kMaxLineBytes + 2) {
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

}  // namespace kalvex
