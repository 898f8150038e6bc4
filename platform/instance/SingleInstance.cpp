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

bool SingleInstance::Publish(std::function<void(unsigned, uintptr_t, intptr_t)> handler) {
    if (server_) return true;
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(ServerName());  // a socket file left by a crash
    if (!server_->listen(ServerName())) {
        delete server_;
        server_ = nullptr;
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, [this, handler] {
        while (QLocalSocket* s = server_->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [s, handler] {
                while (s->canReadLine()) {
                    QList<QByteArray> parts = s->readLine().trimmed().split(' ');
                    if (parts.size() != 4 || parts[0] != "POST") continue;
                    bool isNumber = false;
                    unsigned msg = parts[1].toUInt(&isNumber);
                    if (!isNumber) msg = RegisterWindowMessage(parts[1].toStdString());
                    handler(msg, static_cast<uintptr_t>(parts[2].toULongLong()),
                            static_cast<intptr_t>(parts[3].toLongLong()));
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
