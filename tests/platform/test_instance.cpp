#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QFile>
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

TEST(SingleInstance, PublishedInstanceReceivesNumberedAndNamedMessages) {
    SingleInstance first;
    ASSERT_TRUE(first.Acquire());
    std::vector<std::tuple<unsigned, uintptr_t, intptr_t>> got;
    ASSERT_TRUE(first.Publish([&](unsigned m, uintptr_t w, intptr_t l) { got.emplace_back(m, w, l); }));
    // The sender blocks until written; the server side needs this loop.
    ASSERT_TRUE(SingleInstance::PostToFirst("1027", 5, -7));
    ASSERT_TRUE(SingleInstance::PostToFirst("CloseKalvexMsg"));
    QTRY_COMPARE(got.size(), size_t(2));
    EXPECT_EQ(got[0], std::make_tuple(1027u, uintptr_t(5), intptr_t(-7)));
    EXPECT_EQ(std::get<0>(got[1]), RegisterWindowMessage("CloseKalvexMsg"));
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
    ASSERT_TRUE(first.Publish([&](unsigned, uintptr_t, intptr_t) { ++count; }));
    ASSERT_TRUE(SingleInstance::PostToFirst("1027"));
    QTRY_COMPARE(count, 1);
}
