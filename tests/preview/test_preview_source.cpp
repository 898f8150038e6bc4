// The preview source at the FillBuffer level: no pipeline, no window. Each
// pin is driven the way its streaming drives it, and what it writes into the
// sample is compared with the script's own frames and blocks.
#include <gtest/gtest.h>

#include <QString>
#include <algorithm>
#include <cstring>
#include <vector>

#include <gst/video/video.h>

#include "media/SourceReader.h"
#include "preview/PreviewSource.h"
#include "tests/preview/PreviewFixtures.h"
#include "tests/support/Media.h"

namespace kalvex {
namespace {

using test::MakePreviewScript;

struct Filled {
    std::vector<uint8_t> bytes;
    PreviewSample sample;
    HRESULT hr = E_FAIL;
};

Filled Fill(CPreviewStream* pin, const PreviewMediaType* changed = nullptr, size_t size = 0) {
    Filled f;
    f.bytes.assign(size ? size : pin->BufferSize(), 0xAB);  // FillBuffer must clear what it does not write
    f.sample.data = f.bytes.data();
    f.sample.size = f.bytes.size();
    f.sample.changedType = changed;
    f.hr = pin->FillBuffer(f.sample);
    return f;
}

// Frame n of the script as the engine gives it (Y, V, U planes).
std::vector<uint8_t> ScriptFrame(const std::string& script, long n) {
    SourceReader reader;
    if (!reader.OpenXXXFile(script)) return {};
    reader.SetVideoPosition(n);
    const uint8_t* p = reader.ReadVideoFrame();
    if (!p) return {};
    return std::vector<uint8_t>(p, p + reader.ImageSize());
}

TEST(PreviewFrameLength, RoundsToTheNearest100ns) {
    EXPECT_EQ(PreviewFrameLength(25, 1), 400000);
    EXPECT_EQ(PreviewFrameLength(30000, 1001), 333667);  // 333,666.67
    EXPECT_EQ(PreviewFrameLength(24000, 1001), 417083);  // 417,083.33
    EXPECT_EQ(PreviewFrameLength(30, 1), 333333);        // 333,333.33
    EXPECT_EQ(PreviewFrameLength(0, 1), 0);
    EXPECT_EQ(PreviewFrameLength(25, 0), 0);
}

TEST(PreviewSourceOpen, ScriptThatDoesNotOpenGivesNoPins) {
    const std::string script = test::WriteScriptFile("missing.avs", "DirectShowSource(\"/no/such/file.avi\")\n");
    HRESULT hr = S_OK;
    CPreviewSource source(nullptr, &hr, script);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(source.PinCount(), 0);
    EXPECT_EQ(source.Pin(0), nullptr);
    EXPECT_EQ(source.Pin(1), nullptr);
    EXPECT_EQ(source.Bin(), nullptr);
    EXPECT_EQ(source.OutputPad(0), nullptr);
    EXPECT_FALSE(source.OpenError().empty());  // the engine's text, for the log; no box was shown
}

// A source without sound previews with a silent sound pin as long as its
// pictures (its conversion gets a silent track); the pictures are the
// script's own.
TEST(PreviewSourceOpen, ScriptWithoutAudioPlaysWithSilence) {
    const QString clip = test::MakeClip("silent.mkv", 1.0, 160, 120, "25", 44100, 2, true, false);
    ASSERT_FALSE(clip.isEmpty());
    const std::string script = test::WriteScriptFile(
        "silent.avs", "DirectShowSource(\"" + clip.toStdString() + "\")\nConvertToYV12()\nChangeFPS(25.000000)\n");
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(source.PinCount(), 2);
    CPreviewStream* audio = source.Pin(1);
    EXPECT_EQ(audio->Duration(), source.Pin(0)->Duration());
    EXPECT_EQ(audio->Duration(), kUnitsPerSecond);
    GstCaps* caps = nullptr;
    ASSERT_EQ(audio->GetMediaType(0, &caps), S_OK);
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    int rate = 0, channels = 0;
    gst_structure_get_int(s, "rate", &rate);
    gst_structure_get_int(s, "channels", &channels);
    EXPECT_EQ(rate, kSilentPreviewRate);
    EXPECT_EQ(channels, 2);
    EXPECT_STREQ(gst_structure_get_string(s, "format"), "S16LE");
    gst_caps_unref(caps);
    EXPECT_EQ(audio->BufferSize(), size_t(kSilentPreviewRate / 10 * 4));
    for (int block = 0; block < 3; ++block) {
        Filled f = Fill(audio);
        ASSERT_EQ(f.hr, S_OK);
        EXPECT_EQ(std::count(f.bytes.begin(), f.bytes.end(), 0), long(f.bytes.size()));
    }
    Filled picture = Fill(source.Pin(0));
    ASSERT_EQ(picture.hr, S_OK);
    EXPECT_EQ(picture.bytes, ScriptFrame(script, 0));
}

// The video pin's pictures hold BT.601 limited-range numbers at any size:
// its type says so, or an HD picture would be shown as BT.709.
TEST(PreviewSourceOpen, VideoTypeSaysBt601LimitedRangeAlsoForHd) {
    const std::string script = MakePreviewScript("hdclip", 0.2, 1280, 720);
    ASSERT_FALSE(script.empty());
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    GstCaps* caps = nullptr;
    ASSERT_EQ(source.Pin(0)->GetMediaType(0, &caps), S_OK);
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, caps));
    EXPECT_EQ(info.width, 1280);
    EXPECT_EQ(info.colorimetry.matrix, GST_VIDEO_COLOR_MATRIX_BT601);
    EXPECT_EQ(info.colorimetry.range, GST_VIDEO_COLOR_RANGE_16_235);
    gst_caps_unref(caps);
}

// A phone clip stored landscape with a quarter turn in its display matrix:
// the preview shows the upright portrait picture the conversion makes.
TEST(PreviewSourceOpen, RotatedPhoneClipIsShownUpright) {
    const QString plain = test::MakeMedia(
        "phone_stored.mp4", {"-f", "lavfi", "-i",
                             "color=c=gray:s=160x96:r=25:d=0.4,drawbox=x=0:y=0:w=32:h=24:c=white:t=fill", "-f",
                             "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=0.4", "-c:v", "libx264",
                             "-pix_fmt", "yuv420p", "-c:a", "aac"});
    ASSERT_FALSE(plain.isEmpty());
    const QString phone = test::MakeMedia("phone.mp4", {"-i", plain, "-c", "copy", "-metadata:s:v:0", "rotate=90"});
    ASSERT_FALSE(phone.isEmpty());
    const std::string script =
        test::WriteScriptFile("phone.avs", "DirectShowSource(\"" + phone.toStdString() + "\")\nConvertToYV12()\n");
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(source.Reader()->Width(), 96);
    EXPECT_EQ(source.Reader()->Height(), 160);
    const Filled f = Fill(source.Pin(0));
    ASSERT_EQ(f.hr, S_OK);
    ASSERT_GE(f.bytes.size(), 96u * 160u);
    // The marker of the stored top-left corner is shown bottom-left.
    EXPECT_GT(f.bytes[155 * 96 + 4], 200);
    EXPECT_LT(f.bytes[4 * 96 + 4], 160);
    EXPECT_LT(f.bytes[155 * 96 + 91], 160);
}

TEST(PreviewSourceOpen, TwoPinsWithTheirNamesTypesAndSizes) {
    const std::string script = MakePreviewScript("clip", 2.0, 160, 120, "25.000000", 22050);
    ASSERT_FALSE(script.empty());
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(source.PinCount(), 2);
    EXPECT_EQ(source.Pin(0)->Name(), "OmbrasilPreivewVideo");
    EXPECT_EQ(source.Pin(1)->Name(), "OmbrasilPreivewAudio");
    EXPECT_EQ(source.Pin(2), nullptr);
    EXPECT_EQ(source.Pin(-1), nullptr);
    ASSERT_NE(source.OutputPad(0), nullptr);
    ASSERT_NE(source.OutputPad(1), nullptr);

    GstCaps* caps = nullptr;
    EXPECT_EQ(source.Pin(0)->GetMediaType(-1, &caps), E_INVALIDARG);
    EXPECT_EQ(source.Pin(0)->GetMediaType(1, &caps), VFW_S_NO_MORE_ITEMS);
    ASSERT_EQ(source.Pin(0)->GetMediaType(0, &caps), S_OK);
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    EXPECT_STREQ(gst_structure_get_string(s, "format"), "YV12");
    int w = 0, h = 0, n = 0, d = 0;
    gst_structure_get_int(s, "width", &w);
    gst_structure_get_int(s, "height", &h);
    gst_structure_get_fraction(s, "framerate", &n, &d);
    EXPECT_EQ(w, 160);
    EXPECT_EQ(h, 120);
    EXPECT_DOUBLE_EQ(double(n) / d, 25.0);
    EXPECT_EQ(source.Pin(0)->CheckMediaType(caps), S_OK);
    EXPECT_EQ(source.Pin(1)->CheckMediaType(caps), E_INVALIDARG);
    gst_caps_unref(caps);
    EXPECT_EQ(source.Pin(0)->CheckMediaType(nullptr), E_POINTER);

    ASSERT_EQ(source.Pin(1)->GetMediaType(0, &caps), S_OK);
    s = gst_caps_get_structure(caps, 0);
    int rate = 0, channels = 0;
    gst_structure_get_int(s, "rate", &rate);
    gst_structure_get_int(s, "channels", &channels);
    EXPECT_STREQ(gst_structure_get_string(s, "format"), "S16LE");
    EXPECT_EQ(rate, 22050);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(source.Pin(1)->CheckMediaType(caps), S_OK);
    EXPECT_EQ(source.Pin(0)->CheckMediaType(caps), E_INVALIDARG);
    gst_caps_unref(caps);

    EXPECT_EQ(source.Pin(0)->BufferSize(), 160u * 120u * 3 / 2);
    EXPECT_EQ(CPreviewVideoStream::ImageSize(161, 121), 29221u);  // 29,221.5 truncated
    // Both pins end at the video's frame count x frame length: 50 x 400,000.
    EXPECT_EQ(source.Pin(0)->Stop(), 20000000);
    EXPECT_EQ(source.Pin(1)->Stop(), 20000000);
    EXPECT_EQ(source.Pin(1)->Duration(), 20000000);
}

class VideoPinTest : public testing::Test {
protected:
    void SetUp() override {
        script = MakePreviewScript("video", 2.0, 160, 120, "25.000000", 22050);
        ASSERT_FALSE(script.empty());
        HRESULT hr = E_FAIL;
        source = std::make_unique<CPreviewSource>(nullptr, &hr, script);
        ASSERT_EQ(hr, S_OK);
        video = source->VideoPin();
        video->OnThreadCreate();
        video->OnThreadStartPlay();
    }
    std::string script;
    std::unique_ptr<CPreviewSource> source;
    CPreviewVideoStream* video = nullptr;
};

TEST_F(VideoPinTest, StampsFramesAndMarksOnlyTheFirstAsDiscontinuity) {
    const std::vector<uint8_t> frame0 = ScriptFrame(script, 0), frame1 = ScriptFrame(script, 1);
    Filled a = Fill(video);
    ASSERT_EQ(a.hr, S_OK);
    EXPECT_TRUE(a.sample.hasTimes);
    EXPECT_EQ(a.sample.start, 0);
    EXPECT_EQ(a.sample.end, 400000);
    EXPECT_TRUE(a.sample.syncPoint);
    EXPECT_TRUE(a.sample.discontinuity);
    EXPECT_EQ(a.bytes, frame0);  // stride = width: the frame as it stands
    Filled b = Fill(video);
    EXPECT_EQ(b.sample.start, 400000);
    EXPECT_EQ(b.sample.end, 800000);
    EXPECT_FALSE(b.sample.discontinuity);
    EXPECT_EQ(b.bytes, frame1);
    EXPECT_NE(frame0, frame1);
    EXPECT_EQ(video->CurrentPosition(), 800000);
}

TEST_F(VideoPinTest, WiderStrideKeepsRowsAtTheirPlacesAndPaddingZero) {
    const std::vector<uint8_t> frame = ScriptFrame(script, 0);
    const int w = 160, h = 120, stride = 176;
    const PreviewMediaType wider{PreviewMediaType::VideoInfo, stride, -h};  // a bottom-up height counts by size
    Filled f = Fill(video, &wider, size_t(stride) * h * 3 / 2);
    ASSERT_EQ(f.hr, S_OK);
    EXPECT_EQ(video->DestinationStride(), stride);
    EXPECT_EQ(video->DestinationHeight(), h);
    const uint8_t* y = frame.data();
    const uint8_t* v = y + w * h;
    const uint8_t* u = v + (w / 2) * (h / 2);
    for (int r = 0; r < h; ++r) {
        ASSERT_EQ(std::memcmp(f.bytes.data() + r * stride, y + r * w, w), 0) << "Y row " << r;
        for (int x = w; x < stride; ++x) ASSERT_EQ(f.bytes[r * stride + x], 0) << "Y padding row " << r;
    }
    for (int r = 0; r < h / 2; ++r) {
        const size_t vAt = size_t(stride) * h + (size_t(stride) * r) / 2;
        const size_t uAt = (size_t(stride) * h * 5) / 4 + (size_t(stride) * r) / 2;
        ASSERT_EQ(std::memcmp(f.bytes.data() + vAt, v + r * (w / 2), w / 2), 0) << "V row " << r;
        ASSERT_EQ(std::memcmp(f.bytes.data() + uAt, u + r * (w / 2), w / 2), 0) << "U row " << r;
        for (int x = w / 2; x < stride / 2; ++x) {
            ASSERT_EQ(f.bytes[vAt + x], 0) << "V padding row " << r;
            ASSERT_EQ(f.bytes[uAt + x], 0) << "U padding row " << r;
        }
    }
}

TEST_F(VideoPinTest, UnknownLayoutDeliversTheZeroedSampleWithoutUsingAFrame) {
    const PreviewMediaType other{PreviewMediaType::Other, 999, 999};
    Filled f = Fill(video, &other);
    EXPECT_EQ(f.hr, S_OK);
    EXPECT_FALSE(f.sample.hasTimes);
    EXPECT_EQ(std::count(f.bytes.begin(), f.bytes.end(), 0), long(f.bytes.size()));
    EXPECT_EQ(video->CurrentPosition(), 0);
    EXPECT_EQ(Fill(video).bytes, ScriptFrame(script, 0));  // frame 0 is still next
}

TEST_F(VideoPinTest, LayoutTooSmallForThePictureLeavesTheSampleBlackInsteadOfOverrunning) {
    const PreviewMediaType narrow{PreviewMediaType::VideoInfo2, 100, 120};  // narrower than 160
    Filled f = Fill(video, &narrow);
    EXPECT_EQ(f.hr, S_OK);
    EXPECT_EQ(std::count(f.bytes.begin(), f.bytes.end(), 0), long(f.bytes.size()));
    EXPECT_TRUE(f.sample.hasTimes);
}

TEST_F(VideoPinTest, SeekBetweenFramesReadsTheFrameAtOrBeforeAndRestampsFromZero) {
    for (int i = 0; i < 3; ++i) Fill(video);
    ASSERT_EQ(video->ChangeStart(1234567), S_OK);  // 3.09 frames in
    EXPECT_EQ(video->Start(), 1234567);
    EXPECT_EQ(video->Duration(), 20000000 - 1234567);
    EXPECT_EQ(source->Reader()->VideoPosition(), 3);
    video->OnThreadStartPlay();
    Filled f = Fill(video);
    EXPECT_EQ(f.bytes, ScriptFrame(script, 3));
    EXPECT_EQ(f.sample.start, 0);
    EXPECT_EQ(f.sample.end, 400000);
    EXPECT_TRUE(f.sample.discontinuity);
    EXPECT_EQ(video->CurrentPosition(), 1234567 + 400000);
}

TEST_F(VideoPinTest, EndOfStreamExactlyAtFrameCountTimesFrameLength) {
    video->ChangeStart(20000000 - 400000);  // the last frame
    Filled last = Fill(video);
    EXPECT_EQ(last.hr, S_OK);
    EXPECT_EQ(Fill(video).hr, S_FALSE);
    video->ChangeStart(20000000 - 1);  // one unit before the end still delivers
    EXPECT_EQ(Fill(video).hr, S_OK);
    video->ChangeStart(20000000);
    EXPECT_EQ(Fill(video).hr, S_FALSE);
}

TEST_F(VideoPinTest, ChangeStopEndsTheStreamEarlier) {
    Fill(video);
    Fill(video);  // position 800,000
    EXPECT_EQ(video->ChangeStop(800000), S_OK);
    EXPECT_EQ(video->Duration(), 800000);
    EXPECT_EQ(Fill(video).hr, S_FALSE);
    EXPECT_EQ(video->ChangeStop(800001), S_OK);
    EXPECT_EQ(Fill(video).hr, S_OK);
}

TEST_F(VideoPinTest, RateNotAboveZeroIsRefusedAndChangesNothing) {
    const int restarts = video->Restarts();
    EXPECT_EQ(video->SetRate(0.0), E_INVALIDARG);
    EXPECT_EQ(video->SetRate(-1.0), E_INVALIDARG);
    EXPECT_EQ(video->SetRate(-0.0001), E_INVALIDARG);
    EXPECT_EQ(video->Rate(), 1.0);
    EXPECT_EQ(video->Restarts(), restarts);
    EXPECT_EQ(video->SetRate(0.5), S_OK);
    EXPECT_EQ(video->Rate(), 0.5);
    EXPECT_EQ(video->ChangeRate(), S_OK);
    // The rate does not scale the stamps.
    Filled f = Fill(video);
    EXPECT_EQ(f.sample.end - f.sample.start, 400000);
}

TEST(PreviewNtsc, FrameLengthOf30000Over1001) {
    const std::string script = MakePreviewScript("ntsc", 1.0, 160, 120, "29.970030", 0, "30000/1001", 48000);
    ASSERT_FALSE(script.empty());
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(source.VideoPin()->FrameLength(), 333667);
    EXPECT_EQ(source.AudioPin()->FrameLength(), 333667);
    EXPECT_EQ(source.VideoPin()->Stop(), source.Reader()->Length(0) * 333667);
    EXPECT_EQ(source.AudioPin()->SamplesPerBlock(), 4800);
    source.VideoPin()->OnThreadCreate();
    Filled a = Fill(source.VideoPin());
    Filled b = Fill(source.VideoPin());
    EXPECT_EQ(a.sample.end, 333667);
    EXPECT_EQ(b.sample.start, 333667);
    EXPECT_EQ(b.sample.end, 667334);
}

// Audio blocks: samples per second / 10 samples, always 100 ms of stamps.
struct AudioCase {
    int rate;
    long samples;
};
class AudioPinTest : public testing::TestWithParam<AudioCase> {};

TEST_P(AudioPinTest, BlockSizeAndHundredMillisecondStamps) {
    const AudioCase c = GetParam();
    const std::string script = MakePreviewScript("audio", 1.0, 160, 120, "25.000000", c.rate);
    ASSERT_FALSE(script.empty());
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    CPreviewAudioStream* audio = source.AudioPin();
    EXPECT_EQ(audio->SamplesPerBlock(), c.samples);
    EXPECT_EQ(audio->BufferSize(), size_t(c.samples) * 2 * 2);
    audio->OnThreadCreate();
    audio->OnThreadStartPlay();
    for (int i = 0; i < 10; ++i) {
        Filled f = Fill(audio);
        ASSERT_EQ(f.hr, S_OK) << i;
        EXPECT_EQ(f.sample.start, int64_t(i) * 1000000) << i;
        EXPECT_EQ(f.sample.end, int64_t(i + 1) * 1000000) << i;
        EXPECT_EQ(f.sample.discontinuity, i == 0) << i;
        EXPECT_EQ(source.Reader()->AudioPosition(), long(i + 1) * c.samples);
    }
    // Ten blocks make the one second of the movie: the stream ends there.
    EXPECT_EQ(Fill(audio).hr, S_FALSE);
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioPinTest,
                         testing::Values(AudioCase{22050, 2205}, AudioCase{11025, 1102}, AudioCase{44100, 4410},
                                         AudioCase{48000, 4800}));

TEST(AudioPin, SeekTruncatesToTheSampleIndex) {
    const std::string script = MakePreviewScript("seek", 1.0, 160, 120, "25.000000", 22050);
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    source.AudioPin()->ChangeStart(1234567);  // 22,050 x 0.1234567 = 2,722.22
    EXPECT_EQ(source.Reader()->AudioPosition(), 2722);
    source.AudioPin()->OnThreadStartPlay();
    Filled f = Fill(source.AudioPin());
    EXPECT_EQ(f.sample.start, 0);
    EXPECT_TRUE(f.sample.discontinuity);
    EXPECT_EQ(source.AudioPin()->CurrentPosition(), 1234567 + 1000000);
}

TEST(AudioPin, ShortLastBlockIsDeliveredAsSilence) {
    // 1.05 s of sound under 2 s of pictures (a container that keeps each
    // stream's own length): block 10 (1.0 s to 1.1 s) is only half there.
    const QString clip = test::MakeMedia(
        "short.mov", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
                      "sine=frequency=440:sample_rate=22050:duration=1.05", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"});
    ASSERT_FALSE(clip.isEmpty());
    const std::string script = test::WriteScriptFile(
        "short.avs", "DirectShowSource(\"" + clip.toStdString() + "\")\nConvertToYV12()\nChangeFPS(25.000000)\n");
    HRESULT hr = E_FAIL;
    CPreviewSource source(nullptr, &hr, script);
    ASSERT_EQ(hr, S_OK);
    CPreviewAudioStream* audio = source.AudioPin();
    ASSERT_EQ(audio->SamplesPerBlock(), 2205);
    audio->OnThreadCreate();
    std::vector<Filled> blocks;
    for (int i = 0; i < 11; ++i) blocks.push_back(Fill(audio));
    auto silent = [](const Filled& f) { return std::count(f.bytes.begin(), f.bytes.end(), 0) == long(f.bytes.size()); };
    EXPECT_FALSE(silent(blocks[9]));
    EXPECT_TRUE(silent(blocks[10]));
    EXPECT_EQ(blocks[10].sample.start, 10000000);
    EXPECT_EQ(blocks[10].sample.end, 11000000);
}

}  // namespace
}  // namespace kalvex
