// The conversion's source decoding on a thread of its own, a picture ahead.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/DecodeAhead.h"
#include "platform/system/ThreadName.h"

namespace kalvex::avs {
namespace {

// A source that records which frames it was asked for and on which thread,
// and can give up the first read of one frame.
class RecordingClip : public Clip {
public:
    explicit RecordingClip(int64_t frames, bool video = true) {
        info_.hasVideo = video;
        info_.width = 16;
        info_.height = 16;
        info_.pixelFormat = AV_PIX_FMT_YUV420P;
        info_.fps = {25, 1};
        info_.frameCount = frames;
        info_.hasAudio = true;
        info_.sampleRate = 48000;
        info_.channels = 1;
        info_.sampleCount = 48000;
    }
    FramePtr GetFrame(int64_t n) override {
        {
            std::lock_guard<std::mutex> g(lock);
            asked.push_back(n);
            threads.push_back(std::this_thread::get_id());
            threadNames.push_back(ThisThreadName());
            if (n == abandonOnce) {
                abandonOnce = -1;
                changed.notify_all();
                throw ReadAbandoned("stopped");
            }
        }
        changed.notify_all();
        FramePtr f = BlackFrame(16, 16, AV_PIX_FMT_YUV420P);
        f->pts = n;
        return f;
    }
    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override {
        for (int64_t i = 0; i < count; ++i) buffer[i] = int16_t(start + i);
    }
    // Waits until frame n was asked for; false after `limit`.
    bool WaitAsked(int64_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, limit, [&] {
            for (int64_t a : asked)
                if (a == n) return true;
            return false;
        });
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<int64_t> asked;
    std::vector<std::thread::id> threads;
    std::vector<std::string> threadNames;
    int64_t abandonOnce = -1;
};

TEST(DecodeAhead, TheSourceDecodesOnItsOwnThreadOnePictureAheadOfTheReader) {
    auto source = std::make_shared<RecordingClip>(200);
    DecodeAheadClip clip(source);
    EXPECT_EQ(clip.Info().frameCount, 200);
    EXPECT_EQ(clip.Info().width, 16);

    EXPECT_EQ(clip.GetFrame(0)->pts, 0);
    // Frame 1 is decoded before anyone asks for it, on a thread that is
    // not the reader's.
    ASSERT_TRUE(source->WaitAsked(1));
    {
        std::lock_guard<std::mutex> g(source->lock);
        for (auto id : source->threads) EXPECT_NE(id, std::this_thread::get_id());
        // Named, so that a profile by thread tells the decoding apart.
        for (const std::string& name : source->threadNames) EXPECT_EQ(name, "decode-ahead");
    }
    // One ahead and no further: holding 4K pictures costs 25 MB each.
    EXPECT_FALSE(source->WaitAsked(2, std::chrono::milliseconds(100)));
    const FramePtr one = clip.GetFrame(1);
    EXPECT_EQ(one->pts, 1);
    // The same frame asked again is the same picture, not a second read.
    EXPECT_EQ(clip.GetFrame(1), one);
    ASSERT_TRUE(source->WaitAsked(2));
    std::lock_guard<std::mutex> g(source->lock);
    EXPECT_EQ(std::count(source->asked.begin(), source->asked.end(), 1), 1);
}

TEST(DecodeAhead, JumpsEndsAndTheSoundComeAsFromTheSource) {
    auto source = std::make_shared<RecordingClip>(200);
    DecodeAheadClip clip(source);
    for (int64_t n : {5, 6, 2, 3, 150, 149, 199, 198, 0})
        EXPECT_EQ(clip.GetFrame(n)->pts, n) << "frame " << n;
    // Clamped into the clip as every clip does.
    EXPECT_EQ(clip.GetFrame(250)->pts, 199);
    EXPECT_EQ(clip.GetFrame(-3)->pts, 0);
    int16_t sound[4] = {};
    clip.GetAudio(sound, 1000, 4);
    EXPECT_EQ(sound[0], 1000);
    EXPECT_EQ(sound[3], 1003);
}

TEST(DecodeAhead, AReadTheSourceGaveUpIsGivenUpForTheReaderAndReadAfreshNextTime) {
    auto source = std::make_shared<RecordingClip>(50);
    source->abandonOnce = 0;
    DecodeAheadClip clip(source);
    EXPECT_THROW(clip.GetFrame(0), ReadAbandoned);
    EXPECT_EQ(clip.GetFrame(0)->pts, 0);
    EXPECT_EQ(clip.GetFrame(1)->pts, 1);
}

TEST(DecodeAhead, OnlyAConversionsSourceWithPicturesIsWrapped) {
    OpenOptions conversion;
    conversion.decoderCores = 2;
    auto video = std::make_shared<RecordingClip>(10);
    ClipPtr wrapped = DecodeAheadForConversion(video, conversion);
    EXPECT_NE(wrapped, video);
    EXPECT_EQ(wrapped->GetFrame(3)->pts, 3);

    OpenOptions preview;  // no cores: not a conversion
    EXPECT_EQ(DecodeAheadForConversion(video, preview), video);
    auto soundOnly = std::make_shared<RecordingClip>(0, false);
    EXPECT_EQ(DecodeAheadForConversion(soundOnly, conversion), soundOnly);
    EXPECT_EQ(DecodeAheadForConversion(nullptr, conversion), nullptr);
}

TEST(DecodeAhead, AClipWithoutFramesAsksTheSourceAndStartsNoThread) {
    auto source = std::make_shared<RecordingClip>(0);
    DecodeAheadClip clip(source);
    EXPECT_NO_THROW(clip.GetFrame(0));
    std::lock_guard<std::mutex> g(source->lock);
    ASSERT_EQ(source->threads.size(), 1u);
    EXPECT_EQ(source->threads[0], std::this_thread::get_id());
}

}  // namespace
}  // namespace kalvex::avs
