// Seeking in the preview lands on exactly the picture the script gives at
// that frame when it is read from the start, also for H.264 with B-frames
// that are references too and a long group of pictures: at the pin, and
// through the graph while it plays. A seek to where the paused graph already
// stands is not made a second time.
#include <gtest/gtest.h>

#include <gst/app/gstappsink.h>

#include <QStringList>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/Engine.h"
#include "engine/SourceCounts.h"
#include "media/SourceReader.h"
#include "preview/GraphHelper.h"
#include "preview/PreviewSource.h"
#include "tests/preview/PreviewFixtures.h"
#include "tests/support/Media.h"

namespace kalvex {
namespace {

constexpr int kW = 192, kH = 108;
constexpr int kFrames = 150;           // 6 s at 25 fps
constexpr int64_t kFrame = 400000;     // 40 ms
constexpr size_t kImage = size_t(kW) * kH * 3 / 2;

// Moving pictures in lossy H.264: three B-frames between references, the
// middle one a reference itself (pyramid), three reference pictures, a key
// frame every 50 frames (0, 50, 100) and none elsewhere; AAC sound. The
// preview script over it, as the page writes one. (Each test has a folder
// of its own, so each makes its own.)
std::string MakeSeekScript(std::string* media = nullptr) {
    const QString clip = test::MakeMedia(
        "seek_h264.mp4",
        {"-f", "lavfi", "-i", QString("testsrc2=size=%1x%2:rate=25:duration=6").arg(kW).arg(kH), "-f", "lavfi", "-i",
         "sine=frequency=440:sample_rate=44100:duration=6", "-c:v", "libx264", "-preset", "veryfast", "-crf", "30",
         "-pix_fmt", "yuv420p", "-x264-params",
         "bframes=3:b-pyramid=normal:b-adapt=0:ref=3:keyint=50:min-keyint=50:scenecut=0", "-c:a", "aac"});
    if (clip.isEmpty()) return {};
    if (media) *media = clip.toStdString();
    return test::WriteScriptFile("seek_h264.avs", "DirectShowSource(\"" + clip.toStdString() +
                                                      "\")\nConvertToYV12()\nChangeFPS(25.000000)\n"
                                                      "ResampleAudio(22050)\n");
}

// Every frame of the script read in order from the first, without a jump:
// the pictures a conversion of the script gets.
std::vector<std::vector<uint8_t>> ReadLinear(const std::string& script) {
    std::vector<std::vector<uint8_t>> out;
    SourceReader reader;
    if (!reader.OpenXXXFile(script)) return out;
    for (int n = 0; n < kFrames; ++n) {
        const uint8_t* p = reader.ReadVideoFrame();
        if (!p) return {};
        out.emplace_back(p, p + reader.ImageSize());
    }
    return out;
}

class PreviewSeek : public testing::Test {
protected:
    void SetUp() override {
        script = MakeSeekScript(&media);
        ASSERT_FALSE(script.empty());
        linear = ReadLinear(script);
        ASSERT_EQ(linear.size(), size_t(kFrames));
        ASSERT_EQ(linear[0].size(), kImage);
        ASSERT_NE(linear[36], linear[37]);  // the pictures move
    }
    std::string script;
    std::string media;
    std::vector<std::vector<uint8_t>> linear;
};

std::vector<uint8_t> FillOne(CPreviewStream* pin, HRESULT* hr) {
    std::vector<uint8_t> bytes(pin->BufferSize(), 0xAB);
    PreviewSample sample;
    sample.data = bytes.data();
    sample.size = bytes.size();
    *hr = pin->FillBuffer(sample);
    return bytes;
}

TEST_F(PreviewSeek, ThePinGivesTheLinearPictureAfterEverySeekAndPlaysOnFromIt) {
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    CPreviewStream* video = source.VideoPin();
    ASSERT_NE(video, nullptr);
    struct Jump {
        int frame;
        int64_t into;  // units past the frame's start
        const char* what;
    };
    // Forward over two key frames; back into the first group onto a picture
    // no other refers to; the key frames themselves; the pictures right
    // before them; the last picture; back by one picture from where reading
    // stands (behind what was read ahead); the first picture; times that
    // are not on a frame's start, up to one unit before the next frame.
    const Jump jumps[] = {
        {120, 0, "forward over two key frames"}, {37, 0, "back, a picture nothing refers to"},
        {50, 0, "the second key frame"},         {49, 0, "the picture before a key frame"},
        {99, 0, "before the third key frame"},   {100, 0, "the third key frame"},
        {149, 0, "the last picture"},            {63, 0, "back into the second group"},
        {64, 0, "back by one picture"},          {0, 0, "the first picture"},
        {37, kFrame - 1, "one unit before frame 38"}, {38, 1, "one unit into frame 38"},
        {148, kFrame / 2, "half-way through the picture before the last"},
    };
    for (const Jump& j : jumps) {
        ASSERT_EQ(video->ChangeStart(j.frame * kFrame + j.into), S_OK) << j.what;
        video->OnThreadStartPlay();
        // Three pictures from there (fewer at the end), each the linear one.
        for (int k = 0; k < 3 && j.frame + k < kFrames; ++k) {
            const std::vector<uint8_t> got = FillOne(video, &hr);
            ASSERT_EQ(hr, S_OK) << j.what;
            ASSERT_EQ(got.size(), kImage);
            EXPECT_TRUE(got == linear[size_t(j.frame + k)]) << j.what << ": frame " << j.frame + k;
        }
        if (j.frame + 3 > kFrames) {
            FillOne(video, &hr);
            EXPECT_EQ(hr, S_FALSE) << j.what << ": the stream ends after the last picture";
        }
    }
}

// The picture buffers that reach the video sink, in order.
struct Picture {
    GstClockTime pts;
    bool discont;
    std::vector<uint8_t> bytes;
};

bool PullPicture(GstElement* pipeline, Picture* out, GstClockTime timeout = 10 * GST_SECOND) {
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink0");
    if (!sink) return false;
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), timeout);
    gst_object_unref(sink);
    if (!sample) return false;
    GstBuffer* b = gst_sample_get_buffer(sample);
    GstMapInfo map;
    const bool mapped = gst_buffer_map(b, &map, GST_MAP_READ);
    out->pts = GST_BUFFER_PTS(b);
    out->discont = GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT);
    out->bytes.assign(mapped ? map.data : nullptr, mapped ? map.data + map.size : nullptr);
    if (mapped) gst_buffer_unmap(b, &map);
    gst_sample_unref(sample);
    return true;
}

class SeekGraph : public PreviewSeek {
protected:
    void SetUp() override {
        PreviewSeek::SetUp();
        // The pictures are taken as the pin makes them, at their time on the
        // clock; the sound plays into a clock-synchronised fakesink.
        GraphHelper::SetSinkFactory([](int pin) {
            return pin == 0 ? test::AppSinkChain(0, true) : test::FakeSinkChain(1, true);
        });
    }
    void TearDown() override { GraphHelper::SetSinkFactory(nullptr); }
};

TEST_F(SeekGraph, ASeekWhilePlayingShowsTheLinearPictureFirstAndPlaysOnFromIt) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    ASSERT_TRUE(graph.Run());
    Picture p;
    ASSERT_TRUE(PullPicture(graph.Pipeline(), &p));
    EXPECT_EQ(p.pts, 0u);
    EXPECT_TRUE(p.bytes == linear[0]);
    // Forward over a key frame, back onto a picture nothing refers to, onto
    // a key frame, onto the picture before one, onto the last picture.
    for (int frame : {112, 37, 50, 99, 149}) {
        g_usleep(150000);  // playing
        ASSERT_TRUE(graph.Seek(frame * kFrame)) << frame;
        // What was on its way before the seek is flushed; the first
        // picture after it starts a new stretch at the time sought to.
        bool found = false;
        for (int i = 0; i < 400 && !found; ++i) {
            ASSERT_TRUE(PullPicture(graph.Pipeline(), &p)) << "no picture after the seek to " << frame;
            found = p.discont && p.pts == GstClockTime(frame * kFrame * kNsPerUnit);
        }
        ASSERT_TRUE(found) << frame;
        EXPECT_TRUE(p.bytes == linear[size_t(frame)]) << "the picture shown after the seek to frame " << frame;
        if (frame + 1 < kFrames) {
            ASSERT_TRUE(PullPicture(graph.Pipeline(), &p)) << frame;
            EXPECT_EQ(p.pts, GstClockTime((frame + 1) * kFrame * kNsPerUnit));
            EXPECT_TRUE(p.bytes == linear[size_t(frame + 1)]) << "the picture after it, frame " << frame + 1;
        }
    }
    // After the last picture the stream ends.
    EXPECT_FALSE(PullPicture(graph.Pipeline(), &p, 3 * GST_SECOND));
}

// Flushes that go down from the video pin: one per seek the graph makes.
struct FlushCounter {
    std::atomic<int> flushes{0};
    static GstPadProbeReturn Seen(GstPad*, GstPadProbeInfo* info, gpointer self) {
        if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_FLUSH_START)
            static_cast<FlushCounter*>(self)->flushes.fetch_add(1);
        return GST_PAD_PROBE_OK;
    }
};

TEST_F(SeekGraph, ASecondSeekToWhereThePausedGraphStandsIsNotMadeAgain) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    FlushCounter counter;
    gst_pad_add_probe(graph.Source()->OutputPad(0), GST_PAD_PROBE_TYPE_EVENT_FLUSH, &FlushCounter::Seen, &counter,
                      nullptr);
    int64_t position = -1;
    auto where = [&] {
        position = -1;
        EXPECT_TRUE(graph.WaitForState(10000));
        EXPECT_TRUE(graph.CurrentPosition(&position));
        return position;
    };
    graph.Pause();
    ASSERT_TRUE(graph.WaitForState(10000));
    ASSERT_EQ(counter.flushes.load(), 0);

    // A drag pauses, seeks, and its end seeks once more to the same place.
    ASSERT_TRUE(graph.Seek(2 * kUnitsPerSecond));
    EXPECT_EQ(where(), 2 * kUnitsPerSecond);
    EXPECT_EQ(counter.flushes.load(), 1);
    ASSERT_TRUE(graph.Seek(2 * kUnitsPerSecond));
    EXPECT_EQ(counter.flushes.load(), 1) << "the same place again";
    EXPECT_EQ(where(), 2 * kUnitsPerSecond);
    ASSERT_TRUE(graph.Seek(2 * kUnitsPerSecond + 1));  // one unit further is another place
    EXPECT_EQ(counter.flushes.load(), 2);
    EXPECT_EQ(where(), 2 * kUnitsPerSecond + 1);

    // Once it ran, the same place is a place to go back to.
    ASSERT_TRUE(graph.Run());
    g_usleep(300000);
    ASSERT_TRUE(graph.Seek(2 * kUnitsPerSecond + 1));
    EXPECT_EQ(counter.flushes.load(), 3) << "a seek while playing";
    g_usleep(300000);
    ASSERT_TRUE(graph.Seek(2 * kUnitsPerSecond + 1));
    EXPECT_EQ(counter.flushes.load(), 4) << "the same seek again while playing";
    g_usleep(300000);
    graph.Pause();
    EXPECT_GT(where(), 2 * kUnitsPerSecond + 1);  // it played on
    ASSERT_TRUE(graph.Seek(2 * kUnitsPerSecond + 1));
    EXPECT_EQ(counter.flushes.load(), 5) << "paused where playing got to, not where it was sent";
    EXPECT_EQ(where(), 2 * kUnitsPerSecond + 1);

    // A time before the start is the start, which is another place.
    ASSERT_TRUE(graph.Seek(-5));
    EXPECT_EQ(counter.flushes.load(), 6);
    EXPECT_EQ(where(), 0);
    ASSERT_TRUE(graph.Seek(0));
    EXPECT_EQ(counter.flushes.load(), 6);
}

// ---- cheaper seeks: decoding on, pictures kept, reads given up

int64_t VideoSeeks() { return avs::SourceOpenCounts().videoSeeks; }

// The picture of a clip frame as one block of Y, V, U rows (width x height
// YV12), for comparing pictures of clips read in different ways.
std::vector<uint8_t> Planes(const avs::FramePtr& f) {
    std::vector<uint8_t> out;
    if (!f) return out;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? f->width / 2 : f->width, h = p ? f->height / 2 : f->height;
        for (int y = 0; y < h; ++y) {
            const uint8_t* row = f->data[p] + int64_t(y) * f->linesize[p];
            out.insert(out.end(), row, row + w);
        }
    }
    return out;
}

// The source clip alone (no filters), with a signal to give reads up: it
// answers true from its `stopAfter`-th question on while armed.
struct StoppableClip {
    int stopAfter = 0;
    bool armed = false;
    int asked = 0;
    avs::OpenResult opened;
    avs::ClipPtr clip;
    explicit StoppableClip(const std::string& media) {
        avs::OpenOptions options;
        options.stopVideo = [this] { return armed && ++asked >= stopAfter; };
        opened = avs::OpenScriptText("DirectShowSource(\"" + media + "\")\n", "stoppable.avs", options);
        clip = opened.Clip();
    }
    void Arm(int after) {
        armed = true;
        asked = 0;
        stopAfter = after;
    }
};

// H.264 with a key frame only at 0 and 250 (12 s at 25 fps): a jump ahead
// by more than 5 s that stays before the next key frame.
std::string MakeLongGroupClip() {
    return test::MakeMedia("long_group.mp4",
                           {"-f", "lavfi", "-i", QString("testsrc2=size=%1x%2:rate=25:duration=12").arg(kW).arg(kH),
                            "-c:v", "libx264", "-preset", "veryfast", "-crf", "30", "-pix_fmt", "yuv420p",
                            "-x264-params", "bframes=3:b-pyramid=normal:b-adapt=0:ref=3:keyint=250:min-keyint=250:scenecut=0",
                            "-an"})
        .toStdString();
}

TEST(SourceSeek, AJumpAheadBeforeTheNextKeyFrameDecodesOnAndLandsOnTheLinearPicture) {
    const std::string media = MakeLongGroupClip();
    ASSERT_FALSE(media.empty());
    constexpr int kCount = 300;
    std::vector<std::vector<uint8_t>> linear;
    {
        StoppableClip c(media);
        ASSERT_TRUE(c.clip);
        ASSERT_EQ(c.clip->Info().frameCount, kCount);
        for (int n = 0; n < kCount; ++n) linear.push_back(Planes(c.clip->GetFrame(n)));
    }
    ASSERT_NE(linear[199], linear[200]);
    // From frame 3, 197 frames ahead (further than five seconds) in the
    // same group, then on to the picture before the key frame and past it
    // by less than the cost of a seek: all decoded on, none sought.
    StoppableClip c(media);
    ASSERT_TRUE(c.clip);
    EXPECT_EQ(Planes(c.clip->GetFrame(3)), linear[3]);
    const int64_t seeks = VideoSeeks();
    for (int n : {200, 201, 240, 249, 250, 258}) {
        EXPECT_EQ(Planes(c.clip->GetFrame(n)), linear[size_t(n)]) << n;
        EXPECT_EQ(VideoSeeks(), seeks) << "decoded on to " << n;
    }
    // A key frame ahead of the picture decoded furthest (the one after the
    // frame read last) by more than eight frames is sought to; by eight, it
    // is decoded on to. The file's index has the key frame at the time it
    // is decoded, two frames before it is shown (B-frames): at 248.
    for (int from : {238, 239}) {
        StoppableClip k(media);
        ASSERT_TRUE(k.clip);
        EXPECT_EQ(Planes(k.clip->GetFrame(from)), linear[size_t(from)]);
        const int64_t before = VideoSeeks();
        EXPECT_EQ(Planes(k.clip->GetFrame(260)), linear[260]) << "from " << from;
        EXPECT_EQ(VideoSeeks() - before, from == 238 ? 1 : 0) << "from " << from;
    }
}

TEST_F(PreviewSeek, AReadGivenUpOnItsWayLeavesNoWrongPictureForTheNextRead) {
    std::vector<std::vector<uint8_t>> planes;
    {
        StoppableClip c(media);
        ASSERT_TRUE(c.clip);
        for (int n = 0; n < 50; ++n) planes.push_back(Planes(c.clip->GetFrame(n)));
    }
    // Decoding from frame 0 towards 45 (B-frames nothing refers to are
    // skipped on the way) is given up after a few pictures; the next read,
    // before or after where decoding stood, still gets the linear picture.
    for (int after : {2, 3, 5, 8, 13}) {
        for (int m = 1; m < 50; m += (m < 20 ? 1 : 4)) {
            StoppableClip c(media);
            ASSERT_TRUE(c.clip);
            ASSERT_EQ(Planes(c.clip->GetFrame(0)), planes[0]);
            c.Arm(after);
            EXPECT_THROW(c.clip->GetFrame(45), avs::ReadAbandoned) << after;
            c.armed = false;
            EXPECT_EQ(Planes(c.clip->GetFrame(m)), planes[size_t(m)]) << "given up after " << after << ", then " << m;
            if (m + 1 < 50) {
                EXPECT_EQ(Planes(c.clip->GetFrame(m + 1)), planes[size_t(m + 1)]) << after << ", " << m;
            }
        }
    }
}

TEST_F(PreviewSeek, AScriptReadGivenUpFailsAndTheSameFrameReadsAgainExactly) {
    std::atomic<bool> stop{false};
    avs::OpenOptions options;
    options.stopVideo = [&] { return stop.load(); };
    avs::OpenResult opened = avs::OpenScriptText(
        "DirectShowSource(\"" + media + "\")\nConvertToYV12()\nChangeFPS(25.000000)\nResampleAudio(22050)\n", "s.avs",
        options);
    ASSERT_TRUE(opened.script);
    std::vector<uint8_t> buffer(kImage);
    LONG bytes = 0, frames = 0;
    auto read = [&](int n) { return opened.script->ReadVideo(n, 1, buffer.data(), LONG(buffer.size()), &bytes, &frames); };
    ASSERT_EQ(read(0), AVIERR_OK);
    EXPECT_TRUE(buffer == linear[0]);
    stop = true;
    EXPECT_NE(read(45), AVIERR_OK) << "a read given up fails";
    stop = false;
    for (int n : {45, 46, 47}) {
        ASSERT_EQ(read(n), AVIERR_OK) << n;
        EXPECT_TRUE(buffer == linear[size_t(n)]) << n;
    }
}

TEST_F(PreviewSeek, ASeekBackIntoThePicturesJustShownIsServedFromThem) {
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    CPreviewStream* video = source.VideoPin();
    ASSERT_EQ(video->ChangeStart(0), S_OK);
    for (int n = 0; n <= 20; ++n) ASSERT_TRUE(FillOne(video, &hr) == linear[size_t(n)]) << n;
    // Sixteen pictures back from the last one shown are at hand; the one
    // before them needs a seek.
    int64_t seeks = VideoSeeks();
    ASSERT_EQ(video->ChangeStart(int64_t(20 - kPreviewKeptPictures) * kFrame + kFrame / 2), S_OK);
    for (int n = 20 - kPreviewKeptPictures; n < 23 - kPreviewKeptPictures; ++n)
        EXPECT_TRUE(FillOne(video, &hr) == linear[size_t(n)]) << n;
    EXPECT_EQ(VideoSeeks(), seeks) << "served from the pictures kept";
    seeks = VideoSeeks();
    ASSERT_EQ(video->ChangeStart(int64_t(19 - kPreviewKeptPictures) * kFrame), S_OK);
    EXPECT_TRUE(FillOne(video, &hr) == linear[size_t(19 - kPreviewKeptPictures)]);
    EXPECT_EQ(VideoSeeks() - seeks, 1);
}

TEST_F(PreviewSeek, AVideoReadGivenUpGivesNoPictureAndTheNextPlaceIsExact) {
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    CPreviewStream* video = source.VideoPin();
    ASSERT_EQ(video->ChangeStart(0), S_OK);
    FillOne(video, &hr);
    source.Reader()->GiveUpVideoReads(true);
    const std::vector<uint8_t> none = FillOne(video, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(none == std::vector<uint8_t>(kImage, 0)) << "no picture, not the one of frame 1";
    // Any new start reads on.
    for (int frame : {1, 37}) {
        source.Reader()->GiveUpVideoReads(true);
        ASSERT_EQ(video->ChangeStart(frame * kFrame), S_OK);
        EXPECT_FALSE(source.Reader()->GivingUpVideoReads());
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(FillOne(video, &hr) == linear[size_t(frame + k)]) << frame + k;
    }
}

TEST(SourceSeek, AReaderGivesUpAReadWhileItDecodesTowardsItsPicture) {
    // 720p with one key frame: the picture 240 frames on takes long to
    // decode to.
    const std::string media =
        test::MakeMedia("long_720p.mp4", {"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25:duration=10", "-c:v",
                                          "libx264", "-preset", "ultrafast", "-crf", "35", "-pix_fmt", "yuv420p",
                                          "-x264-params", "keyint=250:min-keyint=250:scenecut=0", "-an"})
            .toStdString();
    ASSERT_FALSE(media.empty());
    const std::string script = test::WriteScriptFile("long_720p.avs", "DirectShowSource(\"" + media + "\")\n");
    SourceReader reader;
    ASSERT_TRUE(reader.OpenXXXFile(script));
    ASSERT_TRUE(reader.ReadVideoFrame());
    reader.SetVideoPosition(240);
    const uint8_t* got = reinterpret_cast<const uint8_t*>(1);
    std::thread reading([&] { got = reader.ReadVideoFrame(); });
    g_usleep(30000);  // on its way
    reader.GiveUpVideoReads(true);
    reading.join();
    EXPECT_EQ(got, nullptr) << "the read ended without its picture";
    // Once reading goes on, the same frame reads, and it is the picture a
    // reader that did not give up gets.
    reader.GiveUpVideoReads(false);
    reader.SetVideoPosition(240);
    const uint8_t* again = reader.ReadVideoFrame();
    ASSERT_NE(again, nullptr);
    const std::vector<uint8_t> picture(again, again + reader.ImageSize());
    SourceReader fresh;
    ASSERT_TRUE(fresh.OpenXXXFile(script));
    fresh.SetVideoPosition(240);
    const uint8_t* truth = fresh.ReadVideoFrame();
    ASSERT_NE(truth, nullptr);
    EXPECT_TRUE(picture == std::vector<uint8_t>(truth, truth + fresh.ImageSize()));
}

// What the reader's signal was when each seek reached the video pin.
struct SeekWatch {
    SourceReader* reader = nullptr;
    std::atomic<int> seeks{0}, givingUp{0};
    static GstPadProbeReturn Seen(GstPad*, GstPadProbeInfo* info, gpointer self) {
        auto* w = static_cast<SeekWatch*>(self);
        if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_SEEK) {
            w->seeks.fetch_add(1);
            if (w->reader->GivingUpVideoReads()) w->givingUp.fetch_add(1);
        }
        return GST_PAD_PROBE_OK;
    }
};

TEST_F(SeekGraph, SeeksInQuickSuccessionGiveUpTheOlderPictureAndShowTheLastPlaceExactly) {
    GraphHelper graph;
    ASSERT_TRUE(graph.CreateGraph());
    ASSERT_TRUE(graph.OpenScript(script));
    // Behind the pin's own watch on the same pad.
    GstElement* appsrc = graph.Source()->VideoPin()->Element();
    GstPad* pad = gst_element_get_static_pad(appsrc, "src");
    SeekWatch watch;
    watch.reader = graph.Source()->Reader();
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, &SeekWatch::Seen, &watch, nullptr);
    gst_object_unref(pad);
    ASSERT_TRUE(graph.Run());
    Picture p;
    ASSERT_TRUE(PullPicture(graph.Pipeline(), &p));
    const int places[] = {149, 112, 87, 140, 37};
    for (int frame : places) ASSERT_TRUE(graph.Seek(frame * kFrame)) << frame;
    EXPECT_EQ(watch.seeks.load(), 5);
    EXPECT_EQ(watch.givingUp.load(), 5) << "each flushing seek gives the read in progress up";
    EXPECT_FALSE(graph.Source()->Reader()->GivingUpVideoReads()) << "reading goes on at the last place";
    bool found = false;
    for (int i = 0; i < 400 && !found; ++i) {
        ASSERT_TRUE(PullPicture(graph.Pipeline(), &p)) << "no picture after the last seek";
        found = p.discont && p.pts == GstClockTime(37 * kFrame * kNsPerUnit);
    }
    ASSERT_TRUE(found);
    EXPECT_TRUE(p.bytes == linear[37]);
    ASSERT_TRUE(PullPicture(graph.Pipeline(), &p));
    EXPECT_EQ(p.pts, GstClockTime(38 * kFrame * kNsPerUnit));
    EXPECT_TRUE(p.bytes == linear[38]);
}

}  // namespace
}  // namespace kalvex
