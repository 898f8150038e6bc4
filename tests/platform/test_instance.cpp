#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <chrono>
#include <future>
#include <QLocalSocket>
#include <QTest>

#include "platform/instance/SingleInstance.h"
#include "platform/messages/Messages.h"
#include "tests/support/QtTry.h"

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

namespace {

// A first instance whose path requests record what reached the receiver.
struct PathsFirst {
    SingleInstance first;
    std::vector<std::vector<std::string>> received;
    std::vector<QString> rejected;
    PathsAnswer answer{true, -1, {}};  // taken -1: all of them
    bool Publish() {
        if (!first.Acquire()) return false;
        return first.Publish({{"1027", 1027}, {"OpenFiles", 77, true}}, [](unsigned) {},
                             [this](const QString& why) { rejected.push_back(why); },
                             [this](unsigned msg, const std::vector<std::string>& paths) {
                                 EXPECT_EQ(msg, 77u);
                                 received.push_back(paths);
                                 PathsAnswer a = answer;
                                 if (a.taken < 0) a.taken = int(paths.size());
                                 return a;
                             });
    }
    bool Said(const QString& what) const {
        return std::any_of(rejected.begin(), rejected.end(), [&](const QString& r) { return r.contains(what); });
    }
};

// Sends from a thread of its own: the receiver answers on this thread's
// event loop, which QTRY keeps running meanwhile.
PathsHandOver Send(const std::vector<std::string>& paths, const QString& message = "OpenFiles",
                   int timeoutMs = 20000) {
    auto pending =
        std::async(std::launch::async, [&] { return SingleInstance::HandPathsToFirst(message, paths, timeoutMs); });
    if (!QTest::qWaitFor([&] { return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                         30000)) {
        ADD_FAILURE() << "no answer";
    }
    return pending.get();
}

// Sends raw bytes and returns the first answer line.
QByteArray Exchange(const QByteArray& bytes) {
    auto pending = std::async(std::launch::async, [&] {
        QLocalSocket s;
        s.connectToServer(SingleInstance::ServerName());
        if (!s.waitForConnected(3000)) return QByteArray("(not connected)");
        s.write(bytes);
        while (!s.canReadLine() && s.waitForReadyRead(10000)) {}
        return s.readLine();
    });
    (void)QTest::qWaitFor([&] { return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                          30000);
    return pending.get();
}

}  // namespace

TEST(SingleInstancePaths, AnyByteButNulTravelsAndOnlyTheStrictFormIsRead) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += char(b);
    const QByteArray line = SingleInstance::EncodePath("/" + all);
    EXPECT_FALSE(line.contains('\n'));
    EXPECT_FALSE(line.contains(' '));
    std::string back;
    ASSERT_TRUE(SingleInstance::DecodePath(line, &back));
    EXPECT_EQ(back, "/" + all);
    EXPECT_EQ(SingleInstance::EncodePath("/a b/%.avi"), "/a%20b/%25.avi");
    for (const char* bad : {"/a b", "/a%", "/a%4", "/a%G0", "/a%%41", "/\xc3\xa9"})
        EXPECT_FALSE(SingleInstance::DecodePath(bad, &back)) << bad;
    ASSERT_TRUE(SingleInstance::DecodePath("/a%c3%A9", &back));  // either case of hex digits
    EXPECT_EQ(back, "/a\xc3\xa9");
}

TEST(SingleInstancePaths, AThousandPathsAreTakenAndOneMoreRefusesTheWholeRequest) {
    PathsFirst f;
    ASSERT_TRUE(f.Publish());
    std::vector<std::string> paths;
    for (int i = 0; i < SingleInstance::kMaxPathsPerRequest; ++i) paths.push_back("/v/" + std::to_string(i) + ".avi");
    PathsHandOver r = Send(paths);
    EXPECT_EQ(r.status, PathsHandOver::Accepted);
    EXPECT_EQ(r.taken, 1000);
    ASSERT_EQ(f.received.size(), 1u);
    EXPECT_EQ(f.received[0], paths);  // in order, unchanged

    paths.push_back("/v/1000.avi");
    r = Send(paths);
    EXPECT_EQ(r.status, PathsHandOver::Refused);
    EXPECT_EQ(r.refusal, "a request of 1001 paths (at most 1000 are taken)");
    EXPECT_EQ(f.received.size(), 1u);  // nothing of it reached the receiver
    EXPECT_TRUE(f.Said("a request of 1001 paths"));

    // The refused request's lines were read and dropped: the next request
    // on a fresh connection, and a plain one, still work.
    r = Send({"/v/after.avi"});
    EXPECT_EQ(r.status, PathsHandOver::Accepted);
    ASSERT_EQ(f.received.size(), 2u);
    EXPECT_EQ(f.received[1], std::vector<std::string>{"/v/after.avi"});
}

TEST(SingleInstancePaths, BadPathsAreDroppedOneByOneAndTheRestHandedOn) {
    PathsFirst f;
    ASSERT_TRUE(f.Publish());
    const std::string longest = "/" + std::string(SingleInstance::kMaxPathBytes - 1, 'p');
    const std::string tooLong = longest + "p";
    ASSERT_EQ(longest.size(), 4096u);
    // A path that is all escapes is three bytes a byte on the line.
    const std::string longestEscaped = "/" + std::string(SingleInstance::kMaxPathBytes - 1, ' ');
    QByteArray request = "POST OpenFiles 8 0\n";
    request += SingleInstance::EncodePath("/first.avi") + "\n";
    request += SingleInstance::EncodePath(longest) + "\n";
    request += SingleInstance::EncodePath(tooLong) + "\n";
    request += "/with%00nul.avi\n";
    request += "/not encoded.avi\r\n";
    request += "\n";
    request += SingleInstance::EncodePath(longestEscaped) + "\r\n";
    request += SingleInstance::EncodePath("/last.avi") + "\n";
    EXPECT_EQ(Exchange(request), "ACCEPTED 4 8\n");
    ASSERT_EQ(f.received.size(), 1u);
    EXPECT_EQ(f.received[0], (std::vector<std::string>{"/first.avi", longest, longestEscaped, "/last.avi"}));
    EXPECT_TRUE(f.Said("a path of 4097 bytes (at most 4096 are taken)"));
    EXPECT_TRUE(f.Said("a path holding a NUL byte"));
    EXPECT_TRUE(f.Said("a path line that is not written as a path \"/not encoded.avi\""));
    EXPECT_TRUE(f.Said("an empty path"));
    EXPECT_EQ(f.rejected.size(), 4u);
}

TEST(SingleInstancePaths, RequestsWithoutUsablePathsAreRefusedAndTheConnectionGoesOn) {
    PathsFirst f;
    ASSERT_TRUE(f.Publish());
    EXPECT_EQ(Exchange("POST OpenFiles 0 0\n"), "REFUSED no paths\n");
    EXPECT_EQ(Exchange("POST OpenFiles -3 0\n"), "REFUSED no paths\n");
    EXPECT_EQ(Exchange("POST OpenFiles 2 0\n/bad path\n\n"), "REFUSED none of the 2 paths can be taken\n");
    EXPECT_TRUE(f.received.empty());
    // The receiver's own refusal goes back as it is.
    f.answer = PathsAnswer{false, 0, "Can't view other page while converting."};
    PathsHandOver r = Send({"/v/a.avi"});
    EXPECT_EQ(r.status, PathsHandOver::Refused);
    EXPECT_EQ(r.refusal, "Can't view other page while converting.");
    // A request that carries no paths is not one that does.
    r = Send({"/v/a.avi"}, "1027", 1000);
    EXPECT_EQ(r.status, PathsHandOver::NoAnswer);
    EXPECT_EQ(f.received.size(), 1u);
    // A path line without an end is cut off past the longest a path can be.
    QLocalSocket s;
    s.connectToServer(SingleInstance::ServerName());
    ASSERT_TRUE(s.waitForConnected(3000));
    s.write("POST OpenFiles 1 0\n" + QByteArray(SingleInstance::kMaxPathLineBytes + 10, 'a'));
    s.waitForBytesWritten(3000);
    QTRY_VERIFY(f.Said("without a line end"));
    QTRY_VERIFY(s.state() == QLocalSocket::UnconnectedState);
    EXPECT_EQ(f.received.size(), 1u);
}

TEST(SingleInstancePaths, NobodyListeningIsToldApart) {
    EXPECT_EQ(SingleInstance::HandPathsToFirst("OpenFiles", {"/a.avi"}, 500).status, PathsHandOver::NotListening);
    // A first instance that takes no paths refuses them.
    SingleInstance first;
    ASSERT_TRUE(first.Acquire());
    ASSERT_TRUE(first.Publish({{"OpenFiles", 77, true}}, [](unsigned) {}));
    PathsHandOver r = Send({"/a.avi"});
    EXPECT_EQ(r.status, PathsHandOver::Refused);
    EXPECT_EQ(r.refusal, "a request of paths that nothing takes");
}
