// The conversion's threads under ThreadSanitizer: the queue between the
// read-ahead threads and the encoder, the script engine's prefetch thread
// serving a video reader that jumps while another thread reads the sound,
// and whole conversion runs (one to the end, one stopped from another
// thread while the read-ahead threads are busy).
#include <algorithm>
#include <gtest/gtest.h>

#include <QDir>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/AppSettings.h"
#include "convert/BoundedQueue.h"
#include "convert/ConvertJob.h"
#include "convert/PspOutputList.h"
#include "engine/AviSynth.h"
#include "engine/DecodeAhead.h"
#include "engine/Prefetch.h"
#include "media/EntryFromPath.h"
#include "tests/tsan/TsanMedia.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

namespace fs = std::filesystem;

TEST(QueueThreads, EveryItemArrivesOnceInOrderAndCloseFreesABlockedProducer) {
    BoundedQueue<std::vector<int>> q(3);
    constexpr int kItems = 20000;
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i)
            if (!q.Push(std::vector<int>{i, i * 2})) return;
        q.Finish();
    });
    int expected = 0;
    while (auto item = q.Pop()) {
        ASSERT_EQ((*item)[0], expected);
        ASSERT_EQ((*item)[1], expected * 2);
        ++expected;
    }
    producer.join();
    EXPECT_EQ(expected, kItems);

    // The consumer quits while the producer waits on a full queue.
    BoundedQueue<int> full(2);
    std::atomic<int> pushed{0};
    std::atomic<bool> refused{false};
    std::thread blocked([&] {
        for (int i = 0;; ++i) {
            if (!full.Push(i)) {
                refused = true;
                return;
            }
            ++pushed;
        }
    });
    while (full.Size() < 2) std::this_thread::yield();
    EXPECT_EQ(full.Pop(), std::optional<int>(0));
    full.Close();
    blocked.join();
    EXPECT_TRUE(refused.load());
    EXPECT_EQ(full.Pop(), std::nullopt);
    EXPECT_LE(pushed.load(), 3);
}

// A script over a clip whose frames differ from each other, with sound.
std::string NumberedScript(double seconds) {
    const std::string clip = tsan::MakeClip("numbered.avi", seconds, 96, 64, 22050);
    if (clip.empty()) return {};
    const std::string script = test::TestRoot() + "/numbered.avs";
    test::WriteFile(script, "DirectShowSource(\"" + clip + "\")\nConvertToYV12()\n");
    return script;
}

VideoFileEntry Entry(const std::string& path) {
    VideoFileEntry e;
    SourceRefusal refusal;
    EXPECT_TRUE(MakeEntryFromPath(path, e, refusal)) << RefusalText(refusal);
    return e;
}

struct Streams {
    PAVISTREAM video = nullptr, audio = nullptr;
    BITMAPINFOHEADER header{};
    AVISTREAMINFOA videoInfo{}, audioInfo{};
    PCMWAVEFORMAT format{};
    bool Open(const std::string& script) {
        MyAVIFileInit();
        if (MyAVIFileOpen(script.c_str()) != 0) return false;
        const char* error = nullptr;
        if (MyAVIFileGetError(&error)) return false;
        if (MyAVIFileGetStream(&video, streamtypeVIDEO, 0) != 0) return false;
        if (MyAVIFileGetStream(&audio, streamtypeAUDIO, 0) != 0) return false;
        LONG size = sizeof header;
        AVIStreamReadFormat(video, 0, &header, &size);
        size = sizeof format;
        AVIStreamReadFormat(audio, 0, &format, &size);
        AVIStreamInfoA(video, &videoInfo, sizeof videoInfo);
        AVIStreamInfoA(audio, &audioInfo, sizeof audioInfo);
        return true;
    }
    ~Streams() {
        if (video) MyAVIStreamClose(video);
        if (audio) MyAVIStreamClose(audio);
        MyAVIFileExit();
    }
    std::vector<uint8_t> Frame(long n) {
        std::vector<uint8_t> b(header.biSizeImage);
        LONG bytes = 0, frames = 0;
        if (AVIStreamRead(video, LONG(n), 1, b.data(), LONG(b.size()), &bytes, &frames) != 0) b.clear();
        return b;
    }
    std::vector<uint8_t> Sound(long start, long count) {
        std::vector<uint8_t> b(size_t(count) * format.nBlockAlign);
        LONG bytes = 0, samples = 0;
        AVIStreamRead(audio, LONG(start), LONG(count), b.data(), LONG(b.size()), &bytes, &samples);
        b.resize(size_t(bytes));
        return b;
    }
};

TEST(PrefetchThreads, JumpsOfTheVideoReaderWhileAnotherThreadReadsTheSound) {
    const std::string script = NumberedScript(4.0);
    ASSERT_FALSE(script.empty());
    // What every frame and the whole sound are, read on one thread.
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> sound;
    {
        Streams ref;
        ASSERT_TRUE(ref.Open(script));
        for (long n = 0; n < long(ref.videoInfo.dwLength); ++n) frames.push_back(ref.Frame(n));
        sound = ref.Sound(0, long(ref.audioInfo.dwLength));
    }
    ASSERT_EQ(frames.size(), 100u);
    ASSERT_FALSE(frames[0].empty());
    ASSERT_NE(frames[0], frames[1]);

    Streams s;
    ASSERT_TRUE(s.Open(script));
    std::atomic<int> soundMismatches{0};
    std::thread soundReader([&] {
        const long block = 2205, total = long(s.audioInfo.dwLength);
        for (int round = 0; round < 3; ++round)
            for (long start = 0; start < total; start += block) {
                const std::vector<uint8_t> got = s.Sound(start, block);
                const size_t at = size_t(start) * s.format.nBlockAlign;
                if (got.empty() || at + got.size() > sound.size() ||
                    !std::equal(got.begin(), got.end(), sound.begin() + long(at)))
                    ++soundMismatches;
            }
    });
    // Runs of frames in order (the prefetch thread reads ahead) broken by
    // jumps back and forward (what it read ahead is dropped).
    const long order[][2] = {{0, 30}, {10, 25}, {80, 99}, {5, 12}, {50, 70}, {49, 52}, {0, 3}, {97, 99}, {60, 90}};
    int checked = 0;
    for (const auto& run : order)
        for (long n = run[0]; n <= run[1]; ++n) {
            ASSERT_EQ(s.Frame(n), frames[size_t(n)]) << "frame " << n;
            ++checked;
        }
    soundReader.join();
    EXPECT_EQ(soundMismatches.load(), 0);
    EXPECT_EQ(checked, 138);
}

// Records what the job reports, from its worker thread.
class Recorder : public ConvertObserver {
public:
    void OnFileDone(const FileResult& r) override {
        std::lock_guard lock(mutex_);
        files.push_back(r);
    }
    void OnFinished(const RunSummary& s) override {
        std::lock_guard lock(mutex_);
        summary = s;
        ++finished;
        changed_.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(3), [this] { return finished > 0; });
    }
    std::vector<FileResult> files;
    RunSummary summary;
    int finished = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

class ConvertThreads : public testing::Test {
protected:
    void SetUp() override {
        AppSettings.convert = ConvertSettings{};
        ClearOutputs();
        QDir().mkpath(QString::fromStdString(dest));
    }
    RunRequest Request(std::vector<VideoFileEntry> files) {
        RunRequest r;
        r.files = std::move(files);
        r.destinationFolder = dest;
        r.settings = AppSettings.convert;
        return r;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dest)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());  // the folder's own order is no order
        return out;
    }
    std::string dest = test::TestRoot() + "/out/";
};

TEST_F(ConvertThreads, AShortClipIsConvertedToTheEnd) {
    const std::string clip = tsan::MakeClip("short.avi", 1.0, 160, 120, 44100);
    ASSERT_FALSE(clip.empty());
    Recorder rec;
    ConvertJob job;
    ASSERT_TRUE(job.Start(Request({Entry(clip)}), &rec));
    while (job.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the page polls too
    ASSERT_TRUE(rec.Wait());
    job.Wait();
    ASSERT_EQ(rec.files.size(), 1u);
    EXPECT_EQ(rec.files[0].outcome, FileOutcome::Converted) << rec.files[0].reason;
    EXPECT_EQ(Names(), (std::vector<std::string>{"short.THM", "short.mp4"}));  // with its thumbnail
    EXPECT_GT(fs::file_size(dest + "short.mp4"), 1000u);
    EXPECT_EQ(PspOutputList(), std::vector<std::string>{dest + "short.mp4"});
}

TEST_F(ConvertThreads, AStopInTheMiddleOfAFileLeavesNothingOfIt) {
    const std::string longer = tsan::MakeClip("longer.avi", 12.0, 320, 240, 44100);
    const std::string later = tsan::MakeClip("later.avi", 1.0, 160, 120, 44100);
    ASSERT_FALSE(longer.empty());
    ASSERT_FALSE(later.empty());
    Recorder rec;
    ConvertJob job;
    ASSERT_TRUE(job.Start(Request({Entry(longer), Entry(later)}), &rec));
    // Once the first file's temporary output holds pictures, the encoder and
    // both read-ahead threads are at work: stop, from a thread of its own
    // as the Stop button's handler is, pausing and resuming on the way.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto written = [&] {
        for (const std::string& n : Names())
            if (fs::file_size(dest + n) > 20000) return true;
        return false;
    };
    while (!written() && job.IsRunning() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    job.Pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    job.Resume();
    std::thread stopper([&] { job.Stop(); });
    stopper.join();
    ASSERT_TRUE(rec.Wait());
    job.Wait();
    EXPECT_TRUE(rec.summary.stopped);
    ASSERT_EQ(rec.files.size(), 2u);
    EXPECT_EQ(rec.files[0].outcome, FileOutcome::Stopped) << rec.files[0].reason;
    EXPECT_EQ(rec.files[1].outcome, FileOutcome::Stopped);
    EXPECT_TRUE(Names().empty());
    EXPECT_TRUE(PspOutputList().empty());
}

}  // namespace
}  // namespace kalvex

namespace kalvex::avs {
namespace {

// A clip of numbered black frames that takes a little time for each.
class SlowClip : public Clip {
public:
    SlowClip() {
        info_.hasVideo = true;
        info_.width = 16;
        info_.height = 16;
        info_.pixelFormat = AV_PIX_FMT_YUV420P;
        info_.fps = {25, 1};
        info_.frameCount = 200;
    }
    FramePtr GetFrame(int64_t n) override {
        FramePtr f = BlackFrame(16, 16, AV_PIX_FMT_YUV420P);
        f->pts = n;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return f;
    }
    void GetAudio(int16_t*, int64_t, int64_t) override {}
};

TEST(PrefetchThreads, TheFrameAskedForComesAlsoAfterJumps) {
    FramePrefetcher prefetch(std::make_shared<SlowClip>());
    for (int64_t n : {0, 1, 2, 3, 50, 51, 52, 10, 11, 199, 198, 5, 6, 7, 8, 9, 10, 11, 12})
        ASSERT_EQ(prefetch.Get(n)->pts, n);
}

// A conversion's two read-ahead threads, one decoding and one filtering.
TEST(PrefetchThreads, TheFrameAskedForComesAlsoAfterJumpsThroughTheDecodingThread) {
    FramePrefetcher prefetch(std::make_shared<DecodeAheadClip>(std::make_shared<SlowClip>()));
    for (int64_t n : {0, 1, 2, 3, 50, 51, 52, 10, 11, 199, 198, 5, 6, 7, 8, 9, 10, 11, 12})
        ASSERT_EQ(prefetch.Get(n)->pts, n);
}

}  // namespace
}  // namespace kalvex::avs
