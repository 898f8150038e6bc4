#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <QLocalSocket>
#include <QTest>

#include "platform/instance/SingleInstance.h"
#include "platform/messages/Messages.h"

using namespace kalvex;

TEST(SingleInstance, SecondHolderIsRefusedUntilTheFirstReleases) {
    SingleInstance first, second;
    EXPECT_TRUE(first.Acquire());
    EXPECT_FALSE(second.Acquire());
    first.Release();
    EXPECT_TRUE(second.Acquire());
}

TEST(SingleInstance, NothingIsDeliveredBeforePublication) {
    SingleInstance first;
    ASSERT_TRUE(first.Acquire());
    EXPECT_FALSE(SingleInstance::PostToFirst("1027", 0, 0, 200));
}

namespace {
// Writes raw bytes to the published socket, as any local program could.
void WriteRaw(const QByteArray& bytes) {
    QLocalSocket s;
    s.connectToServer(SingleInstance::ServerName());
    ASSERT_TRUE(s.waitForConnected(3000));
    s.write(bytes);
    ASSERT_TRUE(s.waitForBytesWritten(3000));
    s.disconnectFromServer();
    if (s.state() != QLocalSocket::UnconnectedState) s.waitForDisconnected(3000);
}
}  // namespace

TEST(SingleInstance, OnlyAcceptedRequestsAreHandedOnWithoutParameters) {
    SingleInstance first;
    ASSERT_TRUE(first.Acquire());
    std::vector<unsigned> got;
    std::vector<QString> rejected;
    const unsigned close = RegisterWindowMessage("CloseKalvexMsg");
    ASSERT_TRUE(first.Publish({{"2027", 7}, {"CloseKalvexMsg", close}}, [&](unsigned m) { got.push_back(m); },
                              [&](const QString& why) { rejected.push_back(why); }));
    ASSERT_TRUE(SingleInstance::PostToFirst("2027", 5, -7));
    ASSERT_TRUE(SingleInstance::PostToFirst("CloseKalvexMsg"));
    // Numbers and names outside the table, and lines of the wrong shape.
    ASSERT_TRUE(SingleInstance::PostToFirst("2026", 4096, 0));
    ASSERT_TRUE(SingleInstance::PostToFirst("SomeOtherMsg"));
    WriteRaw("POST 2027 x 0\nPOST 2027\nGET 2027 0 0\nPOST 02027 0 0\nPOST  2027 0 0\n");
    // The longest line taken, and one byte more (both hold the accepted request).
    QByteArray longest = "POST 2027 0 " + QByteArray(SingleInstance::kMaxLineBytes - 12, '0');
    ASSERT_EQ(longest.size(), SingleInstance::kMaxLineBytes);
    WriteRaw(longest + "\n" + "POST 2027 0 " + QByteArray(SingleInstance::kMaxLineBytes - 11, '0') + "\n");
    QTRY_COMPARE(rejected.size(), size_t(8));
    QTRY_COMPARE(got.size(), size_t(3));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<unsigned>{7, 7, close}));
    auto said = [&](const QString& what) {
        return std::any_of(rejected.begin(), rejected.end(), [&](const QString& r) { return r.contains(what); });
    };
    EXPECT_TRUE(said("\"POST 2026 4096 0\""));
    EXPECT_TRUE(said("\"POST SomeOtherMsg 0 0\""));
    EXPECT_TRUE(said(QString("a line of %1 bytes").arg(SingleInstance::kMaxLineBytes + 1)));
    // The name of a request that was refused is not registered by the refusal.
    EXPECT_EQ(FindRegisteredMessage("SomeOtherMsg"), 0u);
}

TEST(SingleInstance, AnEndlessLineIsCutOffAndTheServerStillListens) {
    SingleInstance first;
    ASSERT_TRUE(first.Acquire());
    int got = 0;
    std::vector<QString> rejected;
    ASSERT_TRUE(first.Publish({{"2027", 7}}, [&](unsigned) { ++got; },
                              [&](const QString& why) { rejected.push_back(why); }));
    QLocalSocket s;
    s.connectToServer(SingleInstance::ServerName());
    ASSERT_TRUE(s.waitForConnected(3000));
    s.write(QByteArray(1 << 20, 'A'));  // 1 MB and no line end
    s.waitForBytesWritten(3000);
    QTRY_VERIFY(!rejected.empty());
    EXPECT_TRUE(rejected[0].contains("without a line end"));
    QTRY_VERIFY(s.state() == QLocalSocket::UnconnectedState);
    ASSERT_TRUE(SingleInstance::PostToFirst("2027"));
    QTRY_COMPARE(got, 1);
}

TEST(SingleInstance, StaleSocketLeftByACrashIsReplaced) {
    // A socket file nobody listens on, as a killed first instance leaves it.
    QByteArray name = SingleInstance::ServerName().toLocal8Bit();
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, name.constData(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    ASSERT_TRUE(QFile::exists(SingleInstance::ServerName()));
    EXPECT_FALSE(SingleInstance::PostToFirst("1027", 0, 0, 200));

    SingleInstance first;
    ASSERT_TRUE(first.Acquire());
    int count = 0;
    ASSERT_TRUE(first.Publish({{"1027", 1027}}, [&](unsigned) { ++count; }));
    ASSERT_TRUE(SingleInstance::PostToFirst("1027"));
    QTRY_COMPARE(count, 1);
}
