// The preview source under ThreadSanitizer: the video pin's streaming
// thread fills pictures while the window thread seeks, changes the rate and
// the stop and reads the positions, and the audio pin's streaming thread
// fills its blocks from the same reader at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "media/SourceReader.h"
#include "preview/PreviewSource.h"
#include "tests/tsan/TsanMedia.h"

namespace kalvex {
namespace {

constexpr int kFrames = 50;  // two seconds at 25

TEST(PreviewThreads, PicturesStayWholeWhileAnotherThreadSeeks) {
    const std::string clip = tsan::MakeClip("preview.avi", 2.0, 160, 120, 44100);
    ASSERT_FALSE(clip.empty());
    const std::string script = test::TestRoot() + "/preview.avs";
    test::WriteFile(script, "DirectShowSource(\"" + clip + "\")\nConvertToYV12()\nChangeFPS(25.000000)\nResampleAudio(22050)\n");
    // Every picture of the script, read on one thread.
    std::set<std::vector<uint8_t>> pictures;
    {
        SourceReader reader;
        ASSERT_TRUE(reader.OpenXXXFile(script));
        for (long n = 0; n < kFrames; ++n) {
            reader.SetVideoPosition(n);
            const uint8_t* p = reader.ReadVideoFrame();
            ASSERT_NE(p, nullptr);
            pictures.emplace(p, p + reader.ImageSize());
        }
    }
    ASSERT_EQ(pictures.size(), size_t(kFrames));

    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    CPreviewVideoStream* video = source.VideoPin();
    CPreviewAudioStream* audio = source.AudioPin();
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    video->OnThreadCreate();
    video->OnThreadStartPlay();
    audio->OnThreadCreate();
    audio->OnThreadStartPlay();

    std::atomic<bool> over{false};
    std::atomic<int> torn{0}, filled{0}, ends{0}, badAudio{0};
    std::thread videoStreaming([&] {
        std::vector<uint8_t> buffer(video->BufferSize());
        while (!over.load()) {
            PreviewSample sample;
            sample.data = buffer.data();
            sample.size = buffer.size();
            const HRESULT r = video->FillBuffer(sample);
            if (r == S_FALSE) {
                ++ends;
                video->OnThreadStartPlay();
                std::this_thread::yield();
                continue;
            }
            if (r != S_OK || !sample.hasTimes || sample.end <= sample.start || !pictures.count(buffer)) ++torn;
            ++filled;
        }
    });
    std::thread audioStreaming([&] {
        std::vector<uint8_t> buffer(audio->BufferSize());
        while (!over.load()) {
            PreviewSample sample;
            sample.data = buffer.data();
            sample.size = buffer.size();
            const HRESULT r = audio->FillBuffer(sample);
            if (r != S_OK && r != S_FALSE) ++badAudio;
            if (r == S_FALSE) {
                audio->ChangeStart(0);
                audio->OnThreadStartPlay();
            }
        }
    });
    // The window thread: seeks to places between and on frames, changes
    // the rate and the stop, and reads what the position slider shows.
    const int64_t frame = video->FrameLength();
    for (int i = 0; i < 400; ++i) {
        const int64_t at = (int64_t(i) * 7919 % kFrames) * frame + (i % 3) * frame / 3;
        EXPECT_EQ(video->ChangeStart(at), S_OK);
        if (i % 10 == 0) {
            EXPECT_EQ(video->SetRate(i % 20 == 0 ? 2.0 : 1.0), S_OK);
        }
        if (i % 25 == 0) {
            EXPECT_EQ(video->ChangeStop(int64_t(kFrames - i % 7) * frame), S_OK);
        }
        (void)video->CurrentPosition();
        (void)video->Duration();
        (void)video->Seeking();
        (void)audio->CurrentPosition();
        std::this_thread::yield();
    }
    // Let the streaming threads go on a little after the last seek while
    // the slider keeps reading the positions. No seek takes the pins' lock
    // here, so only the reads' own locking orders them with the writes of
    // the streaming threads.
    const int before = filled.load();
    while (filled.load() < before + 20 && ends.load() < 1000) {
        (void)video->CurrentPosition();
        (void)audio->CurrentPosition();
    }
    over = true;
    videoStreaming.join();
    audioStreaming.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(badAudio.load(), 0);
    EXPECT_GT(filled.load(), 100);
}

}  // namespace
}  // namespace kalvex
