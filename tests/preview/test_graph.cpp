// The preview graph with real GStreamer: the source's two appsrc pins
// rendered into appsinks that run as fast as they can (sync=false), so the
// stamps, sizes, seeks and the end of stream are checked without a clock.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <gst/app/gstappsink.h>

#include <atomic>

#include <vector>

#include "preview/GraphHelper.h"
#include "tests/preview/PreviewFixtures.h"

// Every gst_buffer_map of this program's own code comes here first. A test
// arms it to refuse write maps of one buffer size after a number of them.
static std::atomic<gsize> g_failMapSize{0};
static std::atomic<int> g_mapsBeforeFailing{0};
static std::atomic<int> g_refusedMaps{0};
extern "C" gboolean gst_buffer_map(GstBuffer* buffer, GstMapInfo* info, GstMapFlags flags) {
    using Map = gboolean (*)(GstBuffer*, GstMapInfo*, GstMapFlags);
    static const Map real = reinterpret_cast<Map>(dlsym(RTLD_NEXT, "gst_buffer_map"));
    const gsize size = g_failMapSize.load();
    if (size != 0 && (flags & GST_MAP_WRITE) && gst_buffer_get_size(buffer) == size &&
        g_mapsBeforeFailing.fetch_sub(1) <= 0) {
        g_refusedMaps.fetch_add(1);
        *info = GstMapInfo{};  // no memory, no size
        return FALSE;
    }
    return real(buffer, info, flags);
}

namespace kalvex {
namespace {

struct Pulled {
    GstClockTime pts;
    GstClockTime duration;
    gsize size;
    bool discont;
};

// Every buffer up to the end of stream (or until `limit` buffers).
std::vector<Pulled> PullAll(GstElement* pipeline, const char* sinkName, size_t limit = 100000) {
    std::vector<Pulled> out;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), sinkName);
    if (!sink) return out;
    while (out.size() < limit) {
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
        if (!sample) break;
        GstBuffer* b = gst_sample_get_buffer(sample);
        out.push_back({GST_BUFFER_PTS(b), GST_BUFFER_DURATION(b), gst_buffer_get_size(b),
                       GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT) != 0});
        gst_sample_unref(sample);
    }
    gst_object_unref(sink);
    return out;
}

bool AtEnd(GstElement* pipeline, const char* sinkName) {
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), sinkName);
    const bool eos = sink && gst_app_sink_is_eos(GST_APP_SINK(sink));
    if (sink) gst_object_unref(sink);
    return eos;
}

class GraphTest : public testing::Test {
protected:
    void SetUp() override {
        GraphHelper::SetSinkFactory([](int pin) { return test::AppSinkChain(pin, false); });
        script = test::MakePreviewScript("graph", 2.0, 160, 120, "25.000000", 22050);
        ASSERT_FALSE(script.empty());
    }
    void TearDown() override { GraphHelper::SetSinkFactory(nullptr); }
    std::string script;
};

TEST_F(GraphTest, PlaysEveryFrameAndBlockWithTheirStampsThenEnds) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    EXPECT_NE(gst_bin_get_by_name(GST_BIN(graph.Pipeline()), "OmbrasilPreview"), nullptr);
    ASSERT_TRUE(graph.Run());
    EXPECT_TRUE(graph.Playing());
    const std::vector<Pulled> video = PullAll(graph.Pipeline(), "sink0");
    const std::vector<Pulled> audio = PullAll(graph.Pipeline(), "sink1");
    ASSERT_EQ(video.size(), 50u);  // 2 s at 25 fps
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].pts, i * 40 * GST_MSECOND) << i;
        EXPECT_EQ(video[i].duration, 40 * GST_MSECOND) << i;
        EXPECT_EQ(video[i].size, 160u * 120u * 3 / 2) << i;
    }
    EXPECT_TRUE(video[0].discont);
    ASSERT_EQ(audio.size(), 20u);  // 100 ms blocks up to 2 s
    for (size_t i = 0; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i].pts, i * 100 * GST_MSECOND) << i;
        EXPECT_EQ(audio[i].size, 2205u * 4) << i;
    }
    EXPECT_TRUE(AtEnd(graph.Pipeline(), "sink0"));
    EXPECT_TRUE(AtEnd(graph.Pipeline(), "sink1"));
    // Both pins ended: the graph reports the movie complete, once.
    int code = 0;
    for (int i = 0; i < 200 && code == 0; ++i) {
        code = graph.NextEvent();
        if (!code) g_usleep(10000);
    }
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(graph.NextEvent(), 0);
}

TEST_F(GraphTest, BufferThatCannotBeMappedEndsThePinInsteadOfGoingOutUnfilled) {
    // The 11th picture buffer of the video pin cannot be mapped for writing.
    g_mapsBeforeFailing = 10;
    g_refusedMaps = 0;
    g_failMapSize = 160u * 120u * 3 / 2;
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    ASSERT_TRUE(graph.Run());
    const std::vector<Pulled> video = PullAll(graph.Pipeline(), "sink0");
    const std::vector<Pulled> audio = PullAll(graph.Pipeline(), "sink1");
    g_failMapSize = 0;
    EXPECT_GE(g_refusedMaps.load(), 1);
    // Ten whole pictures, then the end of the stream: no buffer of
    // whatever the memory held goes on.
    ASSERT_EQ(video.size(), 10u);
    for (size_t i = 0; i < video.size(); ++i) EXPECT_EQ(video[i].pts, i * 40 * GST_MSECOND) << i;
    EXPECT_TRUE(AtEnd(graph.Pipeline(), "sink0"));
    // The audio pin is not touched by it.
    EXPECT_EQ(audio.size(), 20u);
}

TEST_F(GraphTest, SeekBetweenFramesResumesThereWithADiscontinuity) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    graph.Pause();
    ASSERT_TRUE(graph.WaitForState(10000));
    ASSERT_TRUE(graph.Seek(12345678));  // 1.2345678 s
    ASSERT_TRUE(graph.WaitForState(10000));
    int64_t position = -1;
    ASSERT_TRUE(graph.CurrentPosition(&position));
    EXPECT_EQ(position, 12345678);
    ASSERT_TRUE(graph.Run());
    std::vector<Pulled> video = PullAll(graph.Pipeline(), "sink0");
    // What came before the seek was flushed or is older than the seek.
    while (!video.empty() && video.front().pts < 12345678 * 100ULL) video.erase(video.begin());
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video.front().pts, 12345678 * 100ULL);
    EXPECT_TRUE(video.front().discont);
    // Frames 30 to 49 follow (the frame at or before 1.2345678 s is frame 30).
    EXPECT_EQ(video.size(), 20u);
    EXPECT_EQ(video.back().pts, (12345678 + 19 * 400000) * 100ULL);
    const std::vector<Pulled> audio = PullAll(graph.Pipeline(), "sink1");
    ASSERT_FALSE(audio.empty());
    EXPECT_EQ(audio.back().pts + audio.back().duration >= 20000000 * 100ULL, true);
}

TEST_F(GraphTest, ScriptThatDoesNotOpenFailsTheOpen) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    EXPECT_FALSE(graph.OpenScript(test::WriteScriptFile("bad.avs", "NoSuchFunction()\n")));
    EXPECT_EQ(graph.Source(), nullptr);
    EXPECT_EQ(graph.VideoWidth(), 0);  // no video without a source
}

}  // namespace
}  // namespace kalvex
