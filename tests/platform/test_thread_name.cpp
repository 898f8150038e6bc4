// Thread names, as profiles by thread show them.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/system/ThreadName.h"

using namespace kalvex;

namespace {

// The name a new thread ends up with after naming itself.
std::string NameTakenBy(const char* name) {
    std::string seen;
    std::thread t([&] {
        NameThisThread(name);
        seen = ThisThreadName();
    });
    t.join();
    return seen;
}

TEST(ThreadName, NamesUpToTheSystemsLimitAreKeptWholeLongerOnesCut) {
    EXPECT_EQ(NameTakenBy("sound"), "sound");
    // Fifteen bytes is the most the kernel keeps: whole.
    EXPECT_EQ(NameTakenBy("fifteen-bytes-x"), "fifteen-bytes-x");
    // One more: cut to fifteen, not left unnamed (the system refuses a
    // name that long outright).
    EXPECT_EQ(NameTakenBy("sixteen-bytes-xy"), "sixteen-bytes-x");
    EXPECT_EQ(NameTakenBy("a-much-longer-name-for-a-thread"), "a-much-longer-n");
}

TEST(ThreadName, ANullNameLeavesTheThreadAsItWas) {
    std::string before, after;
    std::thread t([&] {
        NameThisThread("first");
        before = ThisThreadName();
        NameThisThread(nullptr);
        after = ThisThreadName();
    });
    t.join();
    EXPECT_EQ(before, "first");
    EXPECT_EQ(after, "first");
}

}  // namespace
