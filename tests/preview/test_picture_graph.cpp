// The pictures the preview graph hands out: where a picture is placed in an
// area, how samples become frames (also when the size changes mid-stream),
// and the whole graph with its default picture sink, playing and paused.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "preview/GraphHelper.h"
#include "tests/preview/PreviewFixtures.h"

namespace kalvex {
namespace {

using test::Hue;
using test::HueOf;

TEST(FitRect, BarsAboveAndBelowOrLeftAndRightNeverACut) {
    // 16:9 into 4:3: 320 / (16/9) = 180 of 240 rows, 30 above and below.
    EXPECT_EQ(FitRect(320, 240, 16.0 / 9.0), (VideoRect{0, 30, 320, 210}));
    // 4:3 into a wider area: as high as the area, 200 * 4/3 = 266.67 -> 266
    // columns, (400 - 266) / 2 = 67 on each side.
    EXPECT_EQ(FitRect(400, 200, 4.0 / 3.0), (VideoRect{67, 0, 333, 200}));
    // Exactly the area's shape: the whole area.
    EXPECT_EQ(FitRect(320, 240, 4.0 / 3.0), (VideoRect{0, 0, 320, 240}));
    // An odd gap: (241 - 180) / 2 = 30 on each side, the odd row stays below.
    EXPECT_EQ(FitRect(320, 241, 16.0 / 9.0), (VideoRect{0, 30, 320, 211}));
    // An odd gap sideways: 100 * 1 = 100 of 201 columns, 50 on each side.
    EXPECT_EQ(FitRect(201, 100, 1.0), (VideoRect{50, 0, 151, 100}));
    // Displayed height 239.25 truncates to 239: one row to spare is no bar,
    // and the width (240 * 4/3 = 320 > 319) does not need one either.
    EXPECT_EQ(FitRect(319, 240, 4.0 / 3.0), (VideoRect{0, 0, 319, 240}));
    // Two rows to spare: one bar row above and one below.
    EXPECT_EQ(FitRect(318, 240, 4.0 / 3.0), (VideoRect{0, 1, 318, 239}));
    // Half a row taller than a wide area: as high as the area, and the
    // width 100 * 3.98 = 398 leaves a column on each side.
    EXPECT_EQ(FitRect(400, 100, 400.0 / 100.5), (VideoRect{1, 0, 399, 100}));
    // A square picture (1x1 or 8192x8192) in a wide and in a tall area.
    EXPECT_EQ(FitRect(640, 360, 1.0), (VideoRect{140, 0, 500, 360}));
    EXPECT_EQ(FitRect(360, 640, 1.0), (VideoRect{0, 140, 360, 500}));
    // Never larger than the area, whatever the shape.
    for (double aspect : {0.001, 0.37, 1.0, 1.7777, 2.35, 1000.0}) {
        const VideoRect r = FitRect(333, 187, aspect);
        EXPECT_GE(r.left, 0) << aspect;
        EXPECT_GE(r.top, 0) << aspect;
        EXPECT_LE(r.right, 333) << aspect;
        EXPECT_LE(r.bottom, 187) << aspect;
    }
    // No usable shape: the whole area; no area: nothing to place.
    EXPECT_EQ(FitRect(320, 240, 0.0), (VideoRect{0, 0, 320, 240}));
    EXPECT_EQ(FitRect(320, 240, -1.5), (VideoRect{0, 0, 320, 240}));
    EXPECT_EQ(FitRect(320, 240, std::numeric_limits<double>::quiet_NaN()), (VideoRect{0, 0, 320, 240}));
    EXPECT_EQ(FitRect(320, 240, std::numeric_limits<double>::infinity()), (VideoRect{0, 0, 320, 240}));
    EXPECT_EQ(FitRect(0, 0, 1.5), (VideoRect{0, 0, 0, 0}));
}

TEST(FitRect, DisplayAspectTakesThePixelShape) {
    PreviewFrame f;
    f.width = 720;
    f.height = 480;
    EXPECT_DOUBLE_EQ(f.DisplayAspect(), 1.5);  // square pixels
    f.parN = 32;
    f.parD = 27;  // NTSC wide: 16:9 on the screen
    EXPECT_NEAR(f.DisplayAspect(), 16.0 / 9.0, 1e-12);
    f.parN = 0;  // unknown shape: taken as square
    EXPECT_DOUBLE_EQ(f.DisplayAspect(), 1.5);
    f.height = 0;
    EXPECT_EQ(f.DisplayAspect(), 0.0);
}

// A sample of w x h pixels in the picture layout, every pixel `rgb`, with
// the given pixel shape. `shortBy` bytes are missing from its buffer.
GstSample* Sample(int w, int h, uint32_t rgb, int parN = 1, int parD = 1, const char* format = nullptr,
                  size_t shortBy = 0) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                        format ? format : gst_video_format_to_string(kPictureFormat), "width",
                                        G_TYPE_INT, w, "height", G_TYPE_INT, h, "pixel-aspect-ratio",
                                        GST_TYPE_FRACTION, parN, parD, "framerate", GST_TYPE_FRACTION, 25, 1, nullptr);
    const size_t size = size_t(w) * size_t(h) * 4 - shortBy;
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    for (size_t i = 0; i + 4 <= size; i += 4) *reinterpret_cast<uint32_t*>(map.data + i) = 0xff000000u | rgb;
    gst_buffer_unmap(buffer, &map);
    GST_BUFFER_PTS(buffer) = 40 * GST_MSECOND;
    GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
    gst_buffer_unref(buffer);
    gst_caps_unref(caps);
    return sample;
}

uint32_t PixelAt(const PreviewFrame& f, int x, int y) {
    return *reinterpret_cast<const uint32_t*>(f.pixels + size_t(y) * size_t(f.stride) + size_t(x) * 4) & 0xffffff;
}

TEST(PictureReader, ASizeChangeGivesTheNewSizeFromItsFirstPicture) {
    EnsureGStreamer();
    PictureReader reader;
    struct Step {
        int w, h;
        uint32_t rgb;
    };
    // Wide, then tall, then the smallest and back: each picture its own size.
    for (const Step& s : {Step{64, 36, 0xff0000}, Step{64, 36, 0x00ff00}, Step{36, 64, 0x0000ff},
                          Step{1, 1, 0xffff00}, Step{64, 36, 0x123456}}) {
        GstSample* sample = Sample(s.w, s.h, s.rgb);
        FramePtr f = reader.Read(sample);
        gst_sample_unref(sample);
        ASSERT_TRUE(f) << s.w << "x" << s.h;
        EXPECT_EQ(f->width, s.w);
        EXPECT_EQ(f->height, s.h);
        EXPECT_EQ(f->stride, s.w * 4);
        EXPECT_EQ(f->time, 400000);  // 40 ms in 100-ns units
        // The frame keeps its memory after the sample is gone.
        EXPECT_EQ(PixelAt(*f, 0, 0), s.rgb);
        EXPECT_EQ(PixelAt(*f, s.w - 1, s.h - 1), s.rgb);
        EXPECT_DOUBLE_EQ(f->DisplayAspect(), double(s.w) / s.h);
    }
    // The pixel shape comes from the caps of each sample.
    GstSample* sample = Sample(720, 480, 0x808080, 32, 27);
    FramePtr f = reader.Read(sample);
    gst_sample_unref(sample);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->parN, 32);
    EXPECT_EQ(f->parD, 27);
}

TEST(PictureReader, SamplesItCannotDrawGiveNoPicture) {
    EnsureGStreamer();
    PictureReader reader;
    EXPECT_EQ(reader.Read(nullptr), nullptr);
    GstSample* yuv = Sample(16, 16, 0, 1, 1, "I420");
    EXPECT_EQ(reader.Read(yuv), nullptr);  // a layout the window cannot draw
    gst_sample_unref(yuv);
    GstSample* cut = Sample(16, 16, 0xff0000, 1, 1, nullptr, 4);
    EXPECT_EQ(reader.Read(cut), nullptr);  // one pixel short of its size
    gst_sample_unref(cut);
    GstSample* good = Sample(16, 16, 0xff0000);
    FramePtr f = reader.Read(good);
    gst_sample_unref(good);
    ASSERT_TRUE(f);  // the reader goes on after refusing
    EXPECT_EQ(PixelAt(*f, 15, 15), 0xff0000u);
}

// The four corners of a frame, each a few pixels in.
std::vector<Hue> Corners(const PreviewFrame& f) {
    std::vector<Hue> out;
    const int in = 3;
    for (auto [x, y] : {std::pair{in, in}, std::pair{f.width - 1 - in, in}, std::pair{in, f.height - 1 - in},
                        std::pair{f.width - 1 - in, f.height - 1 - in}}) {
        const uint32_t p = PixelAt(f, x, y);
        out.push_back(HueOf(int((p >> 16) & 255), int((p >> 8) & 255), int(p & 255)));
    }
    return out;
}

const std::vector<Hue> kQuarters = {Hue::Red, Hue::Green, Hue::Blue, Hue::Yellow};

class PictureGraph : public testing::Test {
protected:
    void SetUp() override {
        GraphHelper::SetSinkFactory(test::PictureOnlyChain);
        const std::string clip = test::MakeQuarterClip("quarters.mkv", 3.0, 320, 180);
        ASSERT_FALSE(clip.empty());
        script = test::WriteScriptFile("quarters.avs", "DirectShowSource(\"" + clip +
                                                           "\")\nConvertToYV12()\nChangeFPS(25.000000)\n");
    }
    void TearDown() override { GraphHelper::SetSinkFactory(nullptr); }
    void Collect(GraphHelper& graph) {
        graph.SetFrameCallback([this](FramePtr f) {
            std::lock_guard g(lock);
            frames.push_back(std::move(f));
        });
    }
    size_t Count() {
        std::lock_guard g(lock);
        return frames.size();
    }
    bool WaitFor(const std::function<bool()>& ready, int ms = 20000) {
        for (int i = 0; i < ms / 10; ++i) {
            if (ready()) return true;
            g_usleep(10000);
        }
        return ready();
    }
    std::string script;
    std::mutex lock;
    std::vector<FramePtr> frames;
};

TEST_F(PictureGraph, PlayingHandsOutWholePicturesInOrderAtTheirTime) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    Collect(graph);
    EXPECT_EQ(graph.LatestFrame(), nullptr);
    const gint64 startedAt = g_get_monotonic_time();
    ASSERT_TRUE(graph.Run());
    ASSERT_TRUE(WaitFor([&] { return Count() >= 26; }));
    const double seconds = double(g_get_monotonic_time() - startedAt) / 1e6;
    // On the clock: 26 pictures take a second of playing (25 after the
    // first), not the moment a free-running sink would take.
    EXPECT_GE(seconds, 0.9);
    std::vector<FramePtr> got;
    {
        std::lock_guard g(lock);
        got = frames;
    }
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i]->width, 320) << i;
        EXPECT_EQ(got[i]->height, 180) << i;
        EXPECT_EQ(Corners(*got[i]), kQuarters) << i;
        // The fourth byte of each word is 0xff, as the drawing side needs.
        EXPECT_EQ(*reinterpret_cast<const uint32_t*>(got[i]->pixels) >> 24, 0xffu) << i;
        // Each picture once, one frame length after the one before (the
        // first may come twice: once to show the paused start, once when
        // it is due).
        if (i > 1) {
            EXPECT_EQ(got[i]->time - got[i - 1]->time, 400000) << i;
        }
    }
    EXPECT_EQ(got.front()->time, 0);
    EXPECT_LE(got[1]->time, 400000);
    FramePtr latest = graph.LatestFrame();
    ASSERT_TRUE(latest);
    EXPECT_GE(latest->time, got.back()->time);
}

TEST_F(PictureGraph, APausedGraphShowsThePictureWhereItStandsAlsoAfterASeek) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    Collect(graph);
    graph.Pause();
    ASSERT_TRUE(graph.WaitForState(10000));
    // Paused from the start: the first picture is there without playing.
    ASSERT_TRUE(WaitFor([&] { return Count() >= 1; }));
    EXPECT_EQ(graph.LatestFrame()->time, 0);
    // A seek while paused hands out the picture of the new place at once.
    ASSERT_TRUE(graph.Seek(20000000));  // 2 s
    ASSERT_TRUE(graph.WaitForState(10000));
    ASSERT_TRUE(WaitFor([&] { return graph.LatestFrame() && graph.LatestFrame()->time == 20000000; }, 5000))
        << (graph.LatestFrame() ? graph.LatestFrame()->time : -1);
    g_usleep(300000);
    EXPECT_EQ(graph.LatestFrame()->time, 20000000);  // paused: nothing moves on
    EXPECT_EQ(Corners(*graph.LatestFrame()), kQuarters);
    // Stop: the pictures are let go.
    graph.Stop();
    FramePtr kept = graph.LatestFrame();
    graph.CreateGraph();
    EXPECT_EQ(graph.LatestFrame(), nullptr);
}

}  // namespace
}  // namespace kalvex
