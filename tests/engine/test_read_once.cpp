// Picture and sound read forward together (a conversion) share one reading
// of the file: an interleaved file is read about once, and the pictures and
// samples are exactly those of two separate readings, also when either side
// jumps, when one side runs too far ahead of the other, when the sound
// starts late or ends early, and with several sound tracks.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "engine/SourceCounts.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// Every decoder this program opens, the ones FFmpeg's stream search opens
// inside the library included: this definition stands in front of the
// library's (as a preloaded counter would) and hands each call on.
std::atomic<int64_t> gAllDecoderOpens{0};
extern "C" int avcodec_open2(AVCodecContext* ctx, const AVCodec* codec, AVDictionary** options) {
    using Open = int (*)(AVCodecContext*, const AVCodec*, AVDictionary**);
    static const Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "avcodec_open2"));
    const int r = real(ctx, codec, options);
    if (r >= 0 && av_codec_is_decoder(codec ? codec : ctx->codec)) ++gAllDecoderOpens;
    return r;
}

using namespace kalvex;
using namespace kalvex::test;

namespace {

std::string Source(const std::string& path, int track = 0) {
    std::string line = "DirectShowSource(\"" + path + "\"";
    if (track > 0) line += ", " + std::to_string(track);
    return line + ")\nConvertToYV12()\n";
}

avs::OpenOptions Shared(int64_t queueBytes = 0) {
    avs::OpenOptions o;
    o.readOnce = true;
    o.readOnceQueueBytes = queueBytes;
    return o;
}

// One step of a reading: a frame, or a block of samples.
struct Step {
    bool video = false;
    long at = 0;
    long count = 0;  // samples (sound only)
};

struct Result {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::vector<int16_t>> sound;
    int64_t apart = 0;  // times the sound left the shared reading
    bool ok = false;
};

std::vector<int16_t> Samples(avs::Script& s, long start, long count) {
    std::vector<int16_t> buf(size_t(count) * s.AudioFormat().nChannels, 1);
    LONG bytes = 0, samples = 0;
    std::string error;
    if (s.ReadAudio(LONG(start), LONG(count), buf.data(), LONG(buf.size() * 2), &bytes, &samples, &error) != 0) {
        ADD_FAILURE() << "sound at " << start << ": " << error;
        buf.clear();
    }
    return buf;
}

// Runs the picture's steps on a thread of their own and the sound's on
// this one, as a conversion's two read-ahead threads do; with `together`
// false, all of the picture's steps first, then the sound's.
Result Read(const std::string& text, const avs::OpenOptions& options, const std::vector<Step>& steps,
            bool together = true) {
    Result r;
    const int64_t apartBefore = avs::SourceOpenCounts().soundReadsApart;
    avs::OpenResult opened = avs::OpenScriptText(text, "read.avs", options);
    if (!opened.script) {
        ADD_FAILURE() << opened.error;
        return r;
    }
    avs::Script& s = *opened.script;
    auto pictures = [&] {
        for (const Step& st : steps)
            if (st.video) r.frames.push_back(ScriptFrame(s, st.at));
    };
    auto sound = [&] {
        for (const Step& st : steps)
            if (!st.video) r.sound.push_back(Samples(s, st.at, st.count));
    };
    if (together) {
        std::thread t(pictures);
        sound();
        t.join();
    } else {
        pictures();
        sound();
    }
    r.apart = avs::SourceOpenCounts().soundReadsApart - apartBefore;
    r.ok = true;
    return r;
}

// Every frame in order and the sound in blocks of `block` samples.
std::vector<Step> Forward(long frames, long samples, long block = 1152) {
    std::vector<Step> steps;
    for (long n = 0; n < frames; ++n) steps.push_back({true, n, 0});
    for (long a = 0; a < samples; a += block) steps.push_back({false, a, std::min(block, samples - a)});
    return steps;
}

struct Lengths {
    long frames = 0;
    long samples = 0;
};

Lengths LengthsOf(const std::string& text) {
    avs::OpenResult o = avs::OpenScriptText(text, "len.avs");
    if (!o.script) return {};
    return {long(o.script->VideoInfo().dwLength), long(o.script->AudioInfo().dwLength)};
}

// Same frames and samples in both readings; the first difference named.
void ExpectSame(const Result& shared, const Result& apart) {
    ASSERT_TRUE(shared.ok && apart.ok);
    ASSERT_EQ(shared.frames.size(), apart.frames.size());
    for (size_t i = 0; i < shared.frames.size(); ++i) {
        ASSERT_FALSE(shared.frames[i].empty()) << "step " << i;
        ASSERT_EQ(shared.frames[i], apart.frames[i]) << "picture step " << i;
    }
    ASSERT_EQ(shared.sound.size(), apart.sound.size());
    for (size_t i = 0; i < shared.sound.size(); ++i) ASSERT_EQ(shared.sound[i], apart.sound[i]) << "sound step " << i;
}

int64_t ReadBytes() {
    std::ifstream io("/proc/self/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}

// The bytes of all packets of the file's first sound stream.
int64_t SoundPacketBytes(const std::string& path) {
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return -1;
    int64_t bytes = -1;
    if (avformat_find_stream_info(fmt, nullptr) >= 0) {
        const int audio = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        AVPacket* pkt = av_packet_alloc();
        bytes = 0;
        while (pkt && av_read_frame(fmt, pkt) >= 0) {
            if (pkt->stream_index == audio) bytes += pkt->size;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&fmt);
    return bytes;
}

// 4 s of 320x240 pictures at 25 a second and stereo sound at 48 kHz,
// interleaved in Matroska; `audio` names the sound codec, `extra` adds
// arguments before the output.
std::string Interleaved(const QString& name, const QString& audio, const QStringList& extra = {}) {
    QStringList args{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=4", "-f", "lavfi", "-i",
                     "sine=f=330:sample_rate=48000:duration=4,aformat=channel_layouts=stereo"};
    args << extra << "-map" << "0:v" << "-map" << "1:a" << "-c:v" << "mpeg4" << "-q:v" << "3" << "-g" << "25"
         << "-c:a" << audio;
    return SharedMedia(name, args);
}

}  // namespace

TEST(ReadOnce, SharedReadingGivesTheSamePicturesAndSamplesAndReadsTheFileOnce) {
    const std::string mov = NumberedClip("25", 100);
    const std::string mkv = Interleaved("once_aac.mkv", "aac");
    const std::string vob = SharedMedia("once.vob", {"-f", "lavfi", "-i", "testsrc2=size=352x288:rate=25:duration=4",
                                                      "-f", "lavfi", "-i", "sine=f=500:sample_rate=48000:duration=4",
                                                      "-c:v", "mpeg2video", "-b:v", "2M", "-g", "12", "-bf", "2",
                                                      "-c:a", "ac3", "-ac", "2", "-f", "vob"});
    for (const std::string& path : {mov, mkv, vob}) {
        SCOPED_TRACE(path);
        ASSERT_FALSE(path.empty());
        const std::string text = Source(path);
        const Lengths len = LengthsOf(text);
        ASSERT_GT(len.frames, 50);
        ASSERT_GT(len.samples, 48000);
        const std::vector<Step> steps = Forward(len.frames, len.samples);
        int64_t before = ReadBytes();
        const Result apart = Read(text, {}, steps);
        const int64_t readApart = ReadBytes() - before;
        before = ReadBytes();
        const Result shared = Read(text, Shared(), steps);
        const int64_t read = ReadBytes() - before;
        ExpectSame(shared, apart);
        EXPECT_EQ(shared.apart, 0);  // the reading stayed shared to the end
        // The opening and the reading together: about the file once, where
        // twice before. (A program stream's opening searches it, for a file
        // this short through to its end, which says nothing of its reading.)
        const double size = double(std::filesystem::file_size(path));
        if (path != vob) {
            EXPECT_LT(double(read), 1.3 * size) << read << " bytes of " << size;
            EXPECT_GT(double(readApart), 1.8 * size) << readApart << " bytes of " << size;
        }
    }
}

TEST(ReadOnce, EitherSideJumpingGivesTheSoundItsOwnReadingWithTheSameResults) {
    const std::string mov = NumberedClip("25", 100);
    const std::string mkv = Interleaved("once_mp3.mkv", "libmp3lame");
    for (const std::string& path : {mov, mkv}) {
        SCOPED_TRACE(path);
        ASSERT_FALSE(path.empty());
        const std::string text = Source(path);
        // The sound goes back 1.5 s after 2 s (a jump ahead of less than
        // its 5 s of decoding on is no jump).
        std::vector<Step> soundJumps = Forward(60, 96000, 1024);
        soundJumps.push_back({false, 24000, 2000});
        soundJumps.push_back({false, 26000, 2000});
        // The picture goes back to frame 5 after frame 40, then on.
        std::vector<Step> pictureJumps;
        for (long n = 0; n <= 40; ++n) pictureJumps.push_back({true, n, 0});
        for (long n = 5; n < 60; ++n) pictureJumps.push_back({true, n, 0});
        for (long a = 0; a < 96000; a += 1000) pictureJumps.push_back({false, a, 1000});
        // The picture jumps far ahead (past the read-ahead), the sound reads on.
        std::vector<Step> pictureLeaps{{true, 0, 0}, {true, 1, 0}, {true, 80, 0}, {true, 81, 0}};
        for (long a = 0; a < 96000; a += 1000) pictureLeaps.push_back({false, a, 1000});
        for (const auto* steps : {&soundJumps, &pictureJumps, &pictureLeaps}) {
            for (bool together : {true, false}) {
                SCOPED_TRACE(std::string(steps == &soundJumps ? "sound jumps" : steps == &pictureJumps ? "picture back" : "picture leaps") + (together ? ", together" : ", one after the other"));
                const Result apart = Read(text, {}, *steps, together);
                const Result shared = Read(text, Shared(), *steps, together);
                ExpectSame(shared, apart);
                EXPECT_EQ(shared.apart, 1);
            }
        }
    }
}

TEST(ReadOnce, TheQueueBoundEndsTheSharingExactlyOnePastIt) {
    // All pictures first: every sound packet waits in the sound's queue.
    // A bound of exactly their bytes holds them all; one byte less sends
    // the sound its own way, resuming after the packets it was held.
    for (const QString& codec : {QString("pcm_s16le"), QString("aac")}) {
        SCOPED_TRACE(codec.toStdString());
        const std::string mkv = Interleaved("bound_" + codec + ".mkv", codec);
        ASSERT_FALSE(mkv.empty());
        const std::string text = Source(mkv);
        const Lengths len = LengthsOf(text);
        const int64_t sound = SoundPacketBytes(mkv);
        ASSERT_GT(sound, 1000);
        const std::vector<Step> steps = Forward(len.frames, len.samples, 4000);
        const Result apart = Read(text, {}, steps, false);
        const Result exact = Read(text, Shared(sound), steps, false);
        ExpectSame(exact, apart);
        EXPECT_EQ(exact.apart, 0);
        const Result past = Read(text, Shared(sound - 1), steps, false);
        ExpectSame(past, apart);
        EXPECT_EQ(past.apart, 1);
        // A bound of one byte: the sound leaves at once, with one packet held.
        const Result tiny = Read(text, Shared(1), steps, false);
        ExpectSame(tiny, apart);
        EXPECT_EQ(tiny.apart, 1);
        // The sound first: the pictures' packets pile up instead.
        std::vector<Step> soundFirst;
        for (long a = 0; a < len.samples; a += 4000) soundFirst.push_back({false, a, std::min(4000L, len.samples - a)});
        for (long n = 0; n < len.frames; ++n) soundFirst.push_back({true, n, 0});
        // Two separate readings do not depend on each other's order.
        const Result apartSoundFirst = Read(text, {}, soundFirst, false);
        const int64_t apartBefore = avs::SourceOpenCounts().soundReadsApart;
        avs::OpenResult o = avs::OpenScriptText(text, "first.avs", Shared(64 * 1024));
        ASSERT_TRUE(o.script) << o.error;
        Result manual;
        for (const Step& st : soundFirst)
            if (!st.video) manual.sound.push_back(Samples(*o.script, st.at, st.count));
        for (const Step& st : soundFirst)
            if (st.video) manual.frames.push_back(ScriptFrame(*o.script, st.at));
        manual.ok = true;
        ExpectSame(manual, apartSoundFirst);
        EXPECT_EQ(avs::SourceOpenCounts().soundReadsApart - apartBefore, 1);
    }
}

TEST(ReadOnce, SoundThatStartsLateEndsEarlyOrIsASecondTrackReadsTheSame) {
    // Sound 1.5 s after the first picture; sound that stops at 2 s of 4.
    const std::string late =
        SharedMedia("late_sound.mkv", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=4", "-f", "lavfi",
                                       "-i", "sine=f=330:sample_rate=44100:duration=2.5,adelay=1500:all=1", "-c:v",
                                       "mpeg4", "-q:v", "3", "-c:a", "aac"});
    const std::string early =
        SharedMedia("early_end.mkv", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=4", "-f", "lavfi",
                                      "-i", "sine=f=330:sample_rate=44100:duration=2", "-c:v", "mpeg4", "-q:v", "3",
                                      "-c:a", "pcm_s16le"});
    const std::string tracks =
        SharedMedia("two_tracks.mkv", {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=3", "-f", "lavfi",
                                       "-i", "sine=f=330:sample_rate=48000:duration=3", "-f", "lavfi", "-i",
                                       "sine=f=990:sample_rate=32000:duration=3", "-map", "0:v", "-map", "1:a",
                                       "-map", "2:a", "-c:v", "mpeg4", "-q:v", "3", "-c:a", "aac"});
    struct Case {
        std::string path;
        int track;
    };
    for (const Case& c : {Case{late, 0}, Case{early, 0}, Case{tracks, 1}, Case{tracks, 2}}) {
        SCOPED_TRACE(c.path + " track " + std::to_string(c.track));
        ASSERT_FALSE(c.path.empty());
        const std::string text = Source(c.path, c.track);
        const Lengths len = LengthsOf(text);
        ASSERT_GT(len.samples, 0);
        for (bool together : {true, false}) {
            const std::vector<Step> steps = Forward(len.frames, len.samples, 1500);
            const Result apart = Read(text, {}, steps, together);
            const Result shared = Read(text, Shared(), steps, together);
            ExpectSame(shared, apart);
            if (together) {
                EXPECT_EQ(shared.apart, 0);
            }
        }
    }
    // The second track is the 990 Hz one at 32 kHz: the track asked for.
    avs::OpenResult second = avs::OpenScriptText(Source(tracks, 2), "second.avs", Shared());
    ASSERT_TRUE(second.script) << second.error;
    EXPECT_EQ(second.script->AudioFormat().nSamplesPerSec, 32000u);
}

TEST(ReadOnce, AConversionReadsOnceAndOpensOnlyItsTwoDecoders) {
    const std::string mkv = Interleaved("once_aac.mkv", "aac");
    ASSERT_FALSE(mkv.empty());
    EXPECT_TRUE(avs::ConversionOptions(368, 208).readOnce);
    EXPECT_FALSE(avs::OpenOptions{}.readOnce);
    const Lengths len = LengthsOf(Source(mkv));  // the file is known from here on
    const avs::SourceCounts before = avs::SourceOpenCounts();
    const Result r = Read(Source(mkv), avs::ConversionOptions(160, 120), Forward(len.frames, len.samples));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.apart, 0);
    const avs::SourceCounts now = avs::SourceOpenCounts();
    EXPECT_EQ(now.decoderOpens - before.decoderOpens, 2);  // the picture's and the sound's
    EXPECT_EQ(now.streamSearches - before.streamSearches, 0);
}

TEST(ReadOnce, AProgramStreamIsCountedAndLookedAtOncePerProcess) {
    // Interlaced MPEG-2 in a program stream: its length takes a decode of
    // its end and its pictures a look at their fields. Both happen at its
    // first opening only, and the look goes through the opening's own
    // reading (another reading would search the file again).
    const std::string vob =
        SharedMedia("reuse_interlaced.vob", {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=3", "-f", "lavfi", "-i",
                                             "sine=d=3", "-c:v", "mpeg2video", "-flags", "+ilme+ildct", "-top", "1",
                                             "-b:v", "2M", "-c:a", "mp2", "-f", "vob"});
    ASSERT_FALSE(vob.empty());
    avs::ForgetSourceFacts();
    avs::SourceCounts before = avs::SourceOpenCounts();
    avs::OpenResult first = avs::OpenScriptText(Source(vob), "first.avs");
    ASSERT_TRUE(first.script) << first.error;
    avs::SourceCounts now = avs::SourceOpenCounts();
    EXPECT_EQ(now.streamSearches - before.streamSearches, 1);
    EXPECT_EQ(now.countDecodes - before.countDecodes, 1);
    EXPECT_EQ(now.decoderOpens - before.decoderOpens, 2);  // the count's and the look's
    before = now;
    avs::OpenResult second = avs::OpenScriptText(Source(vob), "second.avs", avs::ConversionOptions(160, 120));
    ASSERT_TRUE(second.script) << second.error;
    now = avs::SourceOpenCounts();
    EXPECT_EQ(now.streamSearches - before.streamSearches, 0);  // the first opening's reading is taken over
    EXPECT_EQ(now.countDecodes - before.countDecodes, 0);
    EXPECT_EQ(now.decoderOpens - before.decoderOpens, 0);
    EXPECT_EQ(second.script->VideoInfo().dwLength, first.script->VideoInfo().dwLength);
    EXPECT_EQ(second.script->VideoHeader().biHeight, first.script->VideoHeader().biHeight);
    // Read as a conversion reads it: one more search at most would be the
    // sound's own reading; there is none, nor a second video reading.
    before = now;
    const long frames = long(second.script->VideoInfo().dwLength);
    std::vector<std::vector<uint8_t>> pictures;
    std::thread t([&] {
        for (long n = 0; n < frames; ++n) pictures.push_back(ScriptFrame(*second.script, n));
    });
    for (long a = 0; a < long(second.script->AudioInfo().dwLength); a += 4096) Samples(*second.script, a, 4096);
    t.join();
    now = avs::SourceOpenCounts();
    EXPECT_EQ(now.streamSearches - before.streamSearches, 0);
    // The sound's; the picture's decoder is the one that counted.
    EXPECT_EQ(now.decoderOpens - before.decoderOpens, 1);
    EXPECT_EQ(now.soundReadsApart - before.soundReadsApart, 0);
    for (long n = 0; n < frames; ++n) EXPECT_FALSE(pictures[size_t(n)].empty()) << n;
}

TEST(ReadOnce, TheSearchOpensNoDecoderForASubtitleTrack) {
    // Text subtitles carry all they need in the file's header: a first
    // opening of a Matroska file with two of them opens the decoders of its
    // picture and its sound (to learn their formats), and no other.
    const std::string plain = Interleaved("subs_plain.mkv", "aac");
    ASSERT_FALSE(plain.empty());
    const std::string srt = TestRoot() + "/line.srt";
    {
        std::ofstream out(srt);
        out << "1\n00:00:00,500 --> 00:00:01,500\nHello\n";
    }
    const std::string mkv = SharedMedia("subs_two.mkv", {"-i", QString::fromStdString(plain), "-i", QString::fromStdString(srt),
                                                          "-map", "0", "-map", "1", "-map", "1", "-c", "copy", "-c:s", "ass"});
    ASSERT_FALSE(mkv.empty());
    avs::ForgetSourceFacts();
    const int64_t before = gAllDecoderOpens.load();
    avs::OpenResult opened = avs::OpenScriptText(Source(mkv), "subs.avs");
    ASSERT_TRUE(opened.script) << opened.error;
    EXPECT_EQ(gAllDecoderOpens.load() - before, 2);
    EXPECT_EQ(opened.source.tracks.subtitles.size(), 2u);  // still listed
    EXPECT_EQ(opened.script->VideoHeader().biWidth, 320);
    EXPECT_EQ(opened.script->AudioFormat().nSamplesPerSec, 48000u);
    // Its conversion: the picture's decoder and the sound's, no search.
    const Lengths len = LengthsOf(Source(mkv));
    const int64_t start = gAllDecoderOpens.load();
    const Result r = Read(Source(mkv), avs::ConversionOptions(160, 120), Forward(len.frames, len.samples));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(gAllDecoderOpens.load() - start, 2);
}

TEST(ReadOnce, ADvdProgramStreamIsExaminedAndConvertedWithFourDecoders) {
    // The examination searches the file (a decoder for the picture and one
    // for the sound) and counts its pictures by decoding its end (a third);
    // the conversion then takes the examination's reading and its counting
    // decoder over and opens only the sound's. The pictures are those the
    // ffmpeg tool decodes from the file.
    const std::string vob = SharedMedia("dvd_like.vob", {"-f", "lavfi", "-i", "testsrc2=size=352x288:rate=25:duration=3",
                                                         "-f", "lavfi", "-i", "sine=f=500:sample_rate=48000:duration=3",
                                                         "-c:v", "mpeg2video", "-b:v", "2M", "-g", "12", "-bf", "2",
                                                         "-c:a", "ac3", "-ac", "2", "-f", "vob"});
    ASSERT_FALSE(vob.empty());
    const std::string yuv = SharedMedia("dvd_like.yuv", {"-i", QString::fromStdString(vob), "-f", "rawvideo",
                                                         "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(yuv.empty());
    avs::ForgetSourceFacts();
    const int64_t before = gAllDecoderOpens.load();
    {
        avs::OpenResult examined = avs::OpenScriptText(Source(vob), "exam.avs");
        ASSERT_TRUE(examined.script) << examined.error;
        EXPECT_EQ(gAllDecoderOpens.load() - before, 3);
    }
    avs::OpenResult c = avs::OpenScriptText(Source(vob), "convert.avs", avs::ConversionOptions(176, 144));
    ASSERT_TRUE(c.script) << c.error;
    const long frames = long(c.script->VideoInfo().dwLength);
    ASSERT_EQ(frames, 75);
    std::vector<std::vector<uint8_t>> pictures;
    std::thread t([&] {
        for (long n = 0; n < frames; ++n) pictures.push_back(ScriptFrame(*c.script, n));
    });
    for (long a = 0; a < long(c.script->AudioInfo().dwLength); a += 4096) Samples(*c.script, a, 4096);
    t.join();
    EXPECT_EQ(gAllDecoderOpens.load() - before, 4);
    std::ifstream raw(yuv, std::ios::binary);
    const size_t luma = 352 * 288, chroma = luma / 4;
    for (long n = 0; n < frames; ++n) {
        std::vector<uint8_t> want(luma + 2 * chroma);
        ASSERT_TRUE(raw.read(reinterpret_cast<char*>(want.data()), std::streamsize(want.size()))) << n;
        const std::vector<uint8_t>& got = pictures[size_t(n)];
        ASSERT_EQ(got.size(), want.size()) << n;
        // YV12 puts V before U.
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + luma, want.begin())) << "luma of " << n;
        EXPECT_TRUE(std::equal(got.begin() + luma, got.begin() + luma + chroma, want.begin() + luma + chroma))
            << "V of " << n;
        EXPECT_TRUE(std::equal(got.begin() + luma + chroma, got.end(), want.begin() + luma)) << "U of " << n;
    }
}

TEST(ReadOnce, AVideoDecoderNothingProvedIsTestOpenedOncePerFile) {
    // A YUV4MPEG file states its pixel format in its header: its search
    // decodes nothing, so its first opening opens the video decoder once
    // to see that it opens (a decoder that does not is refused there, as
    // a script that fails). Later openings of the file take that over.
    const std::string y4m = SharedMedia("plain.y4m", {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=0.4",
                                                      "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(y4m.empty());
    avs::ForgetSourceFacts();
    avs::SourceCounts before = avs::SourceOpenCounts();
    {
        avs::OpenResult first = avs::OpenScriptText(Source(y4m), "y4m.avs");
        ASSERT_TRUE(first.script) << first.error;
        EXPECT_EQ(avs::SourceOpenCounts().decoderOpens - before.decoderOpens, 1);
    }
    before = avs::SourceOpenCounts();
    avs::OpenResult second = avs::OpenScriptText(Source(y4m), "y4m2.avs");
    ASSERT_TRUE(second.script) << second.error;
    EXPECT_EQ(avs::SourceOpenCounts().decoderOpens - before.decoderOpens, 0);
    EXPECT_EQ(ScriptFrame(*second.script, 9).size(), size_t(64 * 48 * 3 / 2));
}
