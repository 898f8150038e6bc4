#include <gtest/gtest.h>

#include <QObject>
#include <QTest>
#include <QTimer>
#include <gtest/gtest-spi.h>
#include <thread>
#include <vector>

#include "platform/messages/Messages.h"
#include "common/ui/Dialogs.h"
#include "platform/system/TempFiles.h"
#include "tests/support/TestEnv.h"
#include "tests/support/QtTry.h"

using namespace kalvex;

namespace {
class Receiver : public QObject, public IMessageTarget {
public:
    std::vector<std::tuple<unsigned, WPARAM, LPARAM>> got;
    LRESULT HandleMessage(unsigned m, WPARAM w, LPARAM l) override {
        got.emplace_back(m, w, l);
        return static_cast<LRESULT>(w) * 2;
    }
    bool event(QEvent* e) override { return DispatchMessageEvent(e, this) || QObject::event(e); }
};
}  // namespace

TEST(Messages, PostedFromAWorkerArriveInOrderOnTheOwnerThread) {
    Receiver r;
    std::thread worker([&] {
        PostMessage(&r, WM_USER + 1, 1, 2);
        PostMessage(&r, WM_USER + 2, 3, 4);
    });
    worker.join();
    EXPECT_TRUE(r.got.empty());  // posted, not called
    QTRY_COMPARE(r.got.size(), size_t(2));
    EXPECT_EQ(r.got[0], std::make_tuple(WM_USER + 1, WPARAM(1), LPARAM(2)));
    EXPECT_EQ(r.got[1], std::make_tuple(WM_USER + 2, WPARAM(3), LPARAM(4)));
    EXPECT_FALSE(PostMessage(nullptr, WM_USER));
}

TEST(Messages, SentFromAWorkerWaitsForTheResult) {
    Receiver r;
    LRESULT result = 0;
    std::thread worker([&] { result = SendMessage(&r, WM_USER + 9, 21, 0); });
    QTRY_COMPARE(r.got.size(), size_t(1));
    worker.join();
    EXPECT_EQ(result, 42);
    EXPECT_EQ(SendMessage(&r, WM_USER, 5, 0), 10);  // same thread: a direct call
}

TEST(Messages, RegisteredNamesKeepTheirIds) {
    unsigned a = RegisterWindowMessage("CloseKalvexMsg");
    EXPECT_GE(a, 0xC000u);
    EXPECT_EQ(RegisterWindowMessage("CloseKalvexMsg"), a);
    EXPECT_NE(RegisterWindowMessage("Other"), a);
    EXPECT_EQ(FindRegisteredMessage("never"), 0u);
}

TEST(TempFiles, DeletedInOrderAndListEmptied) {
    std::string a = kalvex::test::TestPath("a.avs").toStdString();
    std::string b = kalvex::test::TestPath("b.avs").toStdString();
    kalvex::test::WriteFile(a, "x");
    kalvex::test::WriteFile(b, "y");
    RegisterTempFile(a);
    RegisterTempFile(kalvex::test::TestPath("never-written.avs").toStdString());
    RegisterTempFile(b);
    RegisterTempFile(a);  // twice: the second deletion is skipped silently
    DeleteTempFiles();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(a)));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(b)));
    EXPECT_TRUE(RegisteredTempFiles().empty());
}

TEST(MessageBoxSeam, WorkerBoxesAreShownOnTheWindowThread) {
    std::thread::id shownOn;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        shownOn = std::this_thread::get_id();
        return r.text == "yes?" ? IDYES : IDNO;
    });
    int answer = 0;
    std::thread worker([&] { answer = MessageBox("yes?", "Q", MB_YESNO); });
    QTRY_VERIFY(answer != 0);
    worker.join();
    EXPECT_EQ(answer, IDYES);
    EXPECT_EQ(shownOn, std::this_thread::get_id());
}

// The waiting checks fail their test when the wait times out, instead of
// ending it quietly as a pass (tests/support/QtTry.h).
TEST(QtWaits, AWaitThatTimesOutFailsTheTest) {
    EXPECT_NONFATAL_FAILURE([] { QTRY_VERIFY_WITH_TIMEOUT(false, 20); }(), "still false after waiting");
    EXPECT_NONFATAL_FAILURE(
        [] {
            const int n = 1;
            QTRY_COMPARE_WITH_TIMEOUT(n, 2, 20);
        }(),
        "still different after waiting");
    int later = 0;
    QTimer::singleShot(10, [&later] { later = 2; });
    QTRY_COMPARE_WITH_TIMEOUT(later, 2, 2000);
}
