// Preview figures on the pipeline clock: start, seek and A/V offset; then
// the same with the pictures drawn by the page's picture widget, and the
// processor cost of drawing (see bench/preview.sh).
#include <gst/gst.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <mutex>
#include <vector>

#include "media/page/PreviewPanel.h"
#include "media/SourceReader.h"
#include "preview/GraphHelper.h"

using namespace kalvex;

namespace {

struct Probe {
    std::mutex lock;
    GstElement* pipeline = nullptr;
    // Running time of the clock minus the running time of the buffer, at
    // the moment each buffer is rendered: how late each renderer is.
    std::vector<double> videoLate, audioLate;
    std::vector<double> videoAt, audioAt;  // when each was rendered (ms)
    std::atomic<GstClockTime> firstVideoAt{GST_CLOCK_TIME_NONE};
    // When set: only the first picture of the stretch that starts here
    // counts (the last of several seeks in a row).
    std::atomic<GstClockTime> wantedStart{GST_CLOCK_TIME_NONE};
};
Probe gProbe;

GstClockTime Now() {
    GstClock* clock = gst_element_get_clock(gProbe.pipeline);
    if (!clock) return GST_CLOCK_TIME_NONE;
    const GstClockTime t = gst_clock_get_time(clock);
    gst_object_unref(clock);
    return t;
}

void OnHandoff(GstElement* sink, GstBuffer* buffer, GstPad* pad, gpointer pin) {
    const GstClockTime now = Now();
    // The first picture of a start or a seek carries the discontinuity mark.
    const GstClockTime wanted = gProbe.wantedStart.load();
    if (pin == nullptr && GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT) &&
        (wanted == GST_CLOCK_TIME_NONE || GST_BUFFER_PTS(buffer) == wanted)) {
        GstClockTime expected = GST_CLOCK_TIME_NONE;
        gProbe.firstVideoAt.compare_exchange_strong(expected, now);
    }
    GstSegment* segment = nullptr;
    GstEvent* ev = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
    if (!ev) return;
    gst_event_parse_segment(ev, const_cast<const GstSegment**>(&segment));
    const guint64 running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    gst_event_unref(ev);
    const GstClockTime base = gst_element_get_base_time(sink);
    const double late = (double(now) - double(base) - double(running)) / 1e6;
    std::lock_guard g(gProbe.lock);
    (pin == nullptr ? gProbe.videoLate : gProbe.audioLate).push_back(late);
    (pin == nullptr ? gProbe.videoAt : gProbe.audioAt).push_back(double(now) / 1e6);
}

GstElement* Sink(int pin) {
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", TRUE, "signal-handoffs", TRUE, nullptr);
    g_signal_connect(sink, "handoff", G_CALLBACK(OnHandoff), pin == 0 ? nullptr : GINT_TO_POINTER(1));
    return sink;
}

double WaitFirstPicture(GstClockTime from) {
    for (int i = 0; i < 5000; ++i) {
        const GstClockTime at = gProbe.firstVideoAt.load();
        if (at != GST_CLOCK_TIME_NONE) return (double(at) - double(from)) / 1e6;
        g_usleep(1000);
    }
    return -1;
}

// The page's picture widget, counting what it paints.
class CountingPicture : public PreviewPicture {
public:
    using PreviewPicture::PreviewPicture;
    int paints = 0;
    int64_t lastTime = -1;
    qint64 firstPaintNs = -1;
    QElapsedTimer* clock = nullptr;

protected:
    void paintEvent(QPaintEvent* e) override {
        PreviewPicture::paintEvent(e);
        if (!Frame()) return;
        ++paints;
        lastTime = Frame()->time;
        if (firstPaintNs < 0 && clock) firstPaintNs = clock->nsecsElapsed();
    }
};

// Pictures from the streaming thread to the widget the way the page takes
// them: the newest waits, one queued call at a time.
struct Mailbox {
    std::mutex lock;
    FramePtr frame;
    bool posted = false;
    CountingPicture* target = nullptr;
    void Put(FramePtr f) {
        {
            std::lock_guard g(lock);
            frame = std::move(f);
            if (posted) return;
            posted = true;
        }
        QMetaObject::invokeMethod(target, [this] {
            FramePtr f;
            {
                std::lock_guard g(lock);
                f = std::move(frame);
                posted = false;
            }
            if (f) target->SetFrame(std::move(f));
        }, Qt::QueuedConnection);
    }
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Keeps the window thread turning until `done` or the time is up. The
// thread sleeps between events as a window's own loop does (a 1 ms timer
// wakes it to look at `done`): a loop that polled without sleeping would
// take one of the machine's cores from the decoder and the drawing it is
// meant to measure.
bool Spin(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    QTimer tick;
    tick.start(1);
    while (!done()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

double Median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The places the seeks go to, in seconds, spread over the movie and over
// the groups of pictures (the bench clip has a key frame every 250 frames).
const int64_t kSeekSeconds[] = {50, 10, 40, 5, 30, 55, 20, 45, 1, 25};

// The part of a seek that is the script's alone: the reader asked for the
// picture of a new place right after reading on at an old one (as playing
// does), without GStreamer, without a picture sink. The difference to the
// seek in the graph is the graph's own share (flushing, restarting both
// pins, the sound, the conversion to RGB, handing the picture over).
void ReaderSeekFigures(const char* script) {
    SourceReader reader;
    if (!reader.OpenXXXFile(script)) {
        std::fprintf(stderr, "the script does not open for the reader\n");
        return;
    }
    const double fps = double(reader.Rate()) / double(std::max<DWORD>(reader.Scale(), 1));
    std::vector<double> wall, cpu;
    long at = 0;
    for (int i = 0; i < 30; ++i) reader.ReadVideoFrame();  // playing before the first seek
    at = 30;
    for (int64_t s : kSeekSeconds) {
        const long frame = long(double(s) * fps);
        reader.SetVideoPosition(frame);
        QElapsedTimer t;
        t.start();
        const double cpu0 = CpuSeconds();
        if (!reader.ReadVideoFrame()) std::fprintf(stderr, "frame %ld did not read\n", frame);
        wall.push_back(double(t.nsecsElapsed()) / 1e6);
        cpu.push_back((CpuSeconds() - cpu0) * 1000);
        for (int k = 0; k < 9; ++k) reader.ReadVideoFrame();  // plays on a little
        at = frame + 10;
    }
    (void)at;
    reader.Close();
    std::printf("seek in the reader alone (decoding to the picture): median %.1f ms, worst %.1f ms; processor %.1f ms\n",
                Median(wall), *std::max_element(wall.begin(), wall.end()), Median(cpu));
}

enum class Mode { DecodeOnly, PicturesDropped, DrawnInArea, DrawnFullScreen };

struct RunFigures {
    double cpuPercent = 0;  // of one core, while playing
    int paints = 0;
    double startMs = -1;     // Run to the first picture painted
    double fromOpenMs = -1;  // opening the script to the first picture painted
    std::vector<double> seeksMs;
};

// Plays the script for `seconds` in one mode and measures the processor
// time of the whole program over that stretch.
RunFigures PlayFor(const char* script, Mode mode, int seconds, bool seeks) {
    RunFigures out;
    GraphHelper::SetSinkFactory([mode](int pin) -> GstElement* {
        if (pin == 0 && mode != Mode::DecodeOnly) return nullptr;  // the picture sink
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", TRUE, nullptr);
        return sink;
    });
    QElapsedTimer clock;
    CountingPicture picture;
    picture.clock = &clock;
    Mailbox mailbox;
    mailbox.target = &picture;
    const bool drawn = mode == Mode::DrawnInArea || mode == Mode::DrawnFullScreen;
    if (mode == Mode::DrawnInArea) {
        picture.resize(480, 270);  // the page's area at the main window's default size
        picture.show();
    } else if (mode == Mode::DrawnFullScreen) {
        picture.setGeometry(QGuiApplication::primaryScreen()->geometry());
        picture.showFullScreen();
    }
    Spin([] { return false; }, 300);  // shown and settled
    {
        clock.start();
        GraphHelper graph;
        if (!graph.CreateGraph() || !graph.OpenScript(script)) {
            std::fprintf(stderr, "the script does not open\n");
            return out;
        }
        if (drawn) graph.SetFrameCallback([&mailbox](FramePtr f) { mailbox.Put(std::move(f)); });
        const qint64 runAt = clock.nsecsElapsed();
        graph.Run();
        if (drawn && Spin([&] { return picture.firstPaintNs >= 0; }, 5000)) {
            out.startMs = double(picture.firstPaintNs - runAt) / 1e6;
            out.fromOpenMs = double(picture.firstPaintNs) / 1e6;
        }
        Spin([] { return false; }, 1000);  // past the start
        const double cpu0 = CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        const int paints0 = picture.paints;
        Spin([] { return false; }, seconds * 1000);
        out.cpuPercent = (CpuSeconds() - cpu0) / (double(wall.nsecsElapsed()) / 1e9) * 100;
        out.paints = picture.paints - paints0;
        if (seeks) {
            for (int64_t s : kSeekSeconds) {
                const int64_t target = s * kUnitsPerSecond;
                const qint64 from = clock.nsecsElapsed();
                graph.Seek(target);
                qint64 at = -1;
                Spin([&] {
                    if (picture.lastTime >= target && picture.lastTime < target + kUnitsPerSecond) at = clock.nsecsElapsed();
                    return at >= 0;
                }, 5000);
                out.seeksMs.push_back(at < 0 ? -1 : double(at - from) / 1e6);
                Spin([] { return false; }, 300);
            }
        }
    }
    GraphHelper::SetSinkFactory(nullptr);
    return out;
}

void DrawingFigures(const char* script, int seconds) {
    std::printf("drawing (Qt platform %s, screen %dx%d), %d s of playing each:\n",
                qPrintable(QGuiApplication::platformName()), QGuiApplication::primaryScreen()->geometry().width(),
                QGuiApplication::primaryScreen()->geometry().height(), seconds);
    const RunFigures decode = PlayFor(script, Mode::DecodeOnly, seconds, false);
    std::printf("  decode only (fakesink):             %5.1f %% of one core\n", decode.cpuPercent);
    const RunFigures dropped = PlayFor(script, Mode::PicturesDropped, seconds, false);
    std::printf("  converted, pictures dropped:        %5.1f %% (+%.1f)\n", dropped.cpuPercent,
                dropped.cpuPercent - decode.cpuPercent);
    const RunFigures area = PlayFor(script, Mode::DrawnInArea, seconds, true);
    std::printf("  drawn in a 480x270 area:            %5.1f %% (+%.1f on decoding, target 20), %d pictures painted\n",
                area.cpuPercent, area.cpuPercent - decode.cpuPercent, area.paints);
    const RunFigures full = PlayFor(script, Mode::DrawnFullScreen, seconds, false);
    std::printf("  drawn full screen:                  %5.1f %% (+%.1f on decoding), %d pictures painted\n",
                full.cpuPercent, full.cpuPercent - decode.cpuPercent, full.paints);
    std::printf("start: first picture painted %.1f ms after Run (target 500), %.1f ms after the script began to open\n",
                area.startMs, area.fromOpenMs);
    std::vector<double> seeks = area.seeksMs;
    std::sort(seeks.begin(), seeks.end());
    if (!seeks.empty())
        std::printf("seek: first picture of the new place painted, median %.1f ms, worst %.1f ms (target 300)\n",
                    seeks[seeks.size() / 2], seeks.back());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: preview_bench SCRIPT [--drawing-only | --seeks-only] [SECONDS]\n");
        return 2;
    }
    QApplication app(argc, argv);
    gst_init(&argc, &argv);
    bool drawingOnly = false, seeksOnly = false;
    int seconds = 20;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--drawing-only")
            drawingOnly = true;
        else if (std::string(argv[i]) == "--seeks-only")
            seeksOnly = true;
        else
            seconds = std::max(1, std::atoi(argv[i]));
    }
    if (drawingOnly) {
        DrawingFigures(argv[1], seconds);
        return 0;
    }
    GraphHelper::SetSinkFactory(Sink);
    GraphHelper graph;
    if (!graph.CreateGraph() || !graph.OpenScript(argv[1])) {
        std::fprintf(stderr, "the script does not open\n");
        return 1;
    }
    gProbe.pipeline = graph.Pipeline();
    // The clock exists once the pipeline has a state; take "now" right
    // before Run on the system clock the pipeline will use.
    GstClock* system = gst_system_clock_obtain();
    const GstClockTime before = gst_clock_get_time(system);
    graph.Run();
    double start = -1;
    for (int i = 0; i < 5000 && start < 0; ++i) {
        const GstClockTime at = gProbe.firstVideoAt.load();
        if (at != GST_CLOCK_TIME_NONE) start = (double(at) - double(before)) / 1e6;
        else g_usleep(1000);
    }
    std::printf("start: first picture %.1f ms after Run (target 500)\n", start);

    // A/V over the first minute of playing (a few seconds for the seeks
    // alone).
    g_usleep(G_USEC_PER_SEC * (seeksOnly ? 3 : 58));
    auto spread = [](const std::vector<double>& v) {
        double lo = 1e9, hi = -1e9, sum = 0;
        for (double x : v) { lo = std::min(lo, x); hi = std::max(hi, x); sum += x; }
        return std::vector<double>{v.empty() ? 0 : sum / double(v.size()), lo, hi};
    };
    {
        std::lock_guard g(gProbe.lock);
        // Skip the start-up (pre-rolled buffers are rendered at once).
        std::vector<double> v(gProbe.videoLate.begin() + std::min<size_t>(5, gProbe.videoLate.size()), gProbe.videoLate.end());
        std::vector<double> a(gProbe.audioLate.begin() + std::min<size_t>(2, gProbe.audioLate.size()), gProbe.audioLate.end());
        const auto sv = spread(v), sa = spread(a);
        std::printf("video: %zu pictures, lateness mean %.2f ms, min %.2f, max %.2f\n", v.size(), sv[0], sv[1], sv[2]);
        std::printf("audio: %zu blocks, lateness mean %.2f ms, min %.2f, max %.2f\n", a.size(), sa[0], sa[1], sa[2]);
        // The offset at a moment: a picture's lateness against the lateness
        // of the audio block rendered nearest in time to it.
        double worst = 0;
        size_t worstAt = 0;
        int over = 0;  // pictures 40 ms or more away from the sound
        size_t j = 0;
        for (size_t i = 5; i < gProbe.videoLate.size() && !gProbe.audioAt.empty(); ++i) {
            const double t = gProbe.videoAt[i];
            while (j + 1 < gProbe.audioAt.size() && std::fabs(gProbe.audioAt[j + 1] - t) <= std::fabs(gProbe.audioAt[j] - t)) ++j;
            const double offset = std::fabs(gProbe.videoLate[i] - gProbe.audioLate[j]);
            if (offset >= 40) ++over;
            if (offset > worst) {
                worst = offset;
                worstAt = i;
            }
        }
        std::printf("A/V offset over the minute: mean %.2f ms, worst moment %.2f ms (target 40)\n", std::fabs(sv[0] - sa[0]), worst);
        if (worstAt > 0)
            std::printf("  worst at picture %zu, %.0f ms after the first (video %.2f ms late); %d pictures 40 ms or more off\n",
                        worstAt, gProbe.videoAt[worstAt] - gProbe.videoAt[0], gProbe.videoLate[worstAt], over);
    }

    // Seeks while playing: the time to the first picture, how long the
    // seek call itself holds the window thread, and the processor time the
    // whole program spends on the way (all threads: decoding, sound, graph).
    std::vector<double> seeks, calls, cpus;
    for (int64_t s : kSeekSeconds) {
        gProbe.firstVideoAt.store(GST_CLOCK_TIME_NONE);
        const double cpu0 = CpuSeconds();
        const GstClockTime from = Now();
        graph.Seek(s * kUnitsPerSecond);
        calls.push_back((double(Now()) - double(from)) / 1e6);
        const double ms = WaitFirstPicture(from);
        cpus.push_back((CpuSeconds() - cpu0) * 1000);
        seeks.push_back(ms);
        g_usleep(300000);
    }
    std::printf("seek: first picture after a seek, median %.1f ms, worst %.1f ms (target 300)\n", Median(seeks),
                *std::max_element(seeks.begin(), seeks.end()));
    std::printf("  the seek call returns after median %.1f ms; processor time per seek median %.1f ms\n", Median(calls),
                Median(cpus));

    // A jump ahead by 3.3 s that stays in the group of pictures being
    // decoded (key frames at 0, 8.3, 16.7, 25, 33.4, 41.7 s): from playing
    // at 34 s and 17 s to 37.3 s and 20.3 s.
    std::vector<double> ahead;
    for (int64_t from : {34, 17, 34, 17, 34}) {
        graph.Seek(from * kUnitsPerSecond);
        g_usleep(400000);
        const int64_t to = (from * 10 + 33) * kUnitsPerSecond / 10;
        gProbe.firstVideoAt.store(GST_CLOCK_TIME_NONE);
        gProbe.wantedStart.store(GstClockTime(to * kNsPerUnit));
        const GstClockTime at = Now();
        graph.Seek(to);
        ahead.push_back(WaitFirstPicture(at));
        gProbe.wantedStart.store(GST_CLOCK_TIME_NONE);
    }
    std::printf("seek 3.3 s ahead within the group of pictures while playing: median %.1f ms, worst %.1f ms\n",
                Median(ahead), *std::max_element(ahead.begin(), ahead.end()));

    // A slider drag: twelve seeks 40 ms apart, each 0.4 s further on, the
    // way a dragged slider sends them; then the time from the last one to
    // its first picture, and the longest any seek call held the caller.
    std::vector<double> drags, held;
    for (int64_t from : {20, 3, 45}) {
        g_usleep(300000);
        gProbe.firstVideoAt.store(GST_CLOCK_TIME_NONE);
        GstClockTime last = 0;
        for (int k = 0; k < 12; ++k) {
            const int64_t to = from * kUnitsPerSecond + k * 4 * kUnitsPerSecond / 10;
            // Only the last place counts: a picture of an earlier one that
            // was shown during the drag is forgotten.
            if (k == 11) gProbe.firstVideoAt.store(GST_CLOCK_TIME_NONE);
            gProbe.wantedStart.store(GstClockTime(to * kNsPerUnit));
            last = Now();
            graph.Seek(to);
            held.push_back((double(Now()) - double(last)) / 1e6);
            if (k < 11) g_usleep(40000);
        }
        drags.push_back(WaitFirstPicture(last));
        gProbe.wantedStart.store(GST_CLOCK_TIME_NONE);
    }
    std::printf("slider drag (12 seeks 40 ms apart): last place shown %.1f / %.1f / %.1f ms after its seek; "
                "longest seek call %.1f ms\n",
                drags[0], drags[1], drags[2], *std::max_element(held.begin(), held.end()));
    gst_object_unref(system);
    graph.Stop();
    GraphHelper::SetSinkFactory(nullptr);
    ReaderSeekFigures(argv[1]);
    if (seeksOnly) return 0;
    DrawingFigures(argv[1], seconds);
    return 0;
}
