// libavfilter's calls, looked up at run time.
#include <gtest/gtest.h>

#include <string>

#include "engine/AvFilterCalls.h"

extern "C" {
#include <libavutil/version.h>
}

namespace kalvex::avs {
namespace {

TEST(AvFilterCalls, TheLibraryTheProgramWasBuiltAgainstGivesEveryCall) {
    EXPECT_EQ(AvFilterLibraryName(), "libavfilter.so." + std::to_string(LIBAVFILTER_VERSION_MAJOR));
    AvFilterCalls calls;
    std::string error;
    ASSERT_TRUE(LoadAvFilterCalls(AvFilterLibraryName(), &calls, &error)) << error;
    EXPECT_EQ(AV_VERSION_MAJOR(calls.version()), unsigned(LIBAVFILTER_VERSION_MAJOR));
    // The calls work: a graph of the two filters the chains begin and end with.
    AVFilterGraph* graph = calls.graphAlloc();
    ASSERT_NE(graph, nullptr);
    EXPECT_NE(calls.getByName("buffer"), nullptr);
    EXPECT_NE(calls.getByName("buffersink"), nullptr);
    EXPECT_EQ(calls.getByName("no-such-filter"), nullptr);
    calls.graphFree(&graph);
    EXPECT_EQ(graph, nullptr);

    // The program's own table is loaded once and is the same each time.
    const AvFilterCalls* first = AvFilter(&error);
    ASSERT_NE(first, nullptr) << error;
    EXPECT_EQ(AvFilter(nullptr), first);
    EXPECT_EQ(first->graphAlloc, calls.graphAlloc);
}

TEST(AvFilterCalls, AMissingLibraryOrOneWithoutTheCallsIsRefusedWithTheReason) {
    AvFilterCalls calls;
    std::string error;
    EXPECT_FALSE(LoadAvFilterCalls("libavfilter.so.0-absent", &calls, &error));
    EXPECT_NE(error.find("libavfilter.so.0-absent"), std::string::npos) << error;
    EXPECT_EQ(calls.graphAlloc, nullptr);

    // A library that is there but is not libavfilter: the first call it
    // lacks is named, and nothing of it is taken.
    const std::string avutil = "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR);
    error.clear();
    EXPECT_FALSE(LoadAvFilterCalls(avutil, &calls, &error));
    EXPECT_NE(error.find(avutil), std::string::npos) << error;
    EXPECT_NE(error.find("avfilter_version"), std::string::npos) << error;
    EXPECT_EQ(calls.version, nullptr);
}

}  // namespace
}  // namespace kalvex::avs
