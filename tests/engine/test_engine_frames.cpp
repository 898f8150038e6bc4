// Which pictures a source delivers: every picture the file holds is counted
// and served at its own index, and a frame the file cannot deliver fails its
// read instead of showing a stale or black picture.
#include <gtest/gtest.h>

#include <QString>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

// A picture whose two halves carry its index (as NumberedClip's do), for
// `frames` frames at `rate`, with a noisy band on top so that each picture
// takes room in the file.
QString NumberedVideo(const QString& rate, int frames, bool noise = false) {
    return QString("color=c=black:s=160x120:r=%1,trim=end_frame=%2,"
                   "geq=lum='if(lt(Y,%3),random(1)*255,if(lt(X,W/2),16+8*mod(N,25),16+8*floor(N/25)))':cb=128:cr=128")
        .arg(rate)
        .arg(frames)
        .arg(noise ? 40 : 0);
}

// 288 numbered MPEG-2 pictures with MPEG audio in the given container
// (B-frames and open groups of pictures, as DVDs have them).
std::string Mpeg2Clip(const QString& format, const QString& ext, const QString& rate,
                      const QString& videoOffset = "0") {
    const QString name = QString("numbered_%1_%2_%3.%4").arg(format, QString(rate).replace('/', '-'), videoOffset, ext);
    return SharedMedia(name, {"-itsoffset", videoOffset, "-f", "lavfi", "-i", NumberedVideo(rate, 288), "-f", "lavfi", "-i",
                              "sine=frequency=440:sample_rate=48000", "-map", "0:v", "-map", "1:a", "-shortest",
                              "-c:v", "mpeg2video", "-q:v", "2", "-g", "12", "-bf", "2", "-c:a", "mp2", "-f", format});
}

// MPEG-4 part 2 with B-frames in AVI, as the ffmpeg tool writes it.
std::string AviClip(const QString& rate) {
    return SharedMedia(QString("numbered_%1.avi").arg(QString(rate).replace('/', '-')),
                       {"-f", "lavfi", "-i", NumberedVideo(rate, 288), "-c:v", "mpeg4", "-q:v", "2", "-bf", "2"});
}

// 250 lossless numbered pictures in an MP4 whose index sits at the front, so
// that the file opens with its full count after its end was cut off.
std::string FrontIndexedClip() {
    return SharedMedia("numbered_front.mp4", {"-f", "lavfi", "-i", NumberedVideo("25", 250, true), "-c:v", "libx264",
                                              "-qp", "0", "-g", "25", "-pix_fmt", "yuv420p", "-movflags", "+faststart"});
}

std::string CopyToTest(const std::string& source, const std::string& name) {
    const std::string path = TestRoot() + "/" + name;
    std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
    return path;
}

std::string SourceScript(const std::string& path, const std::string& filters = "") {
    return WriteScript("DirectShowSource(\"" + path + "\")\n" + filters);
}

// Overwrites the data of video packet `index` (in file order) with 0xFF
// bytes, which no decoder takes for a picture. False when there is no such
// packet.
bool SpoilPacket(const std::string& path, int index) {
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return false;
    AVPacket* pkt = av_packet_alloc();
    int64_t pos = -1, size = 0;
    for (int seen = 0; av_read_frame(fmt, pkt) >= 0; av_packet_unref(pkt)) {
        if (pkt->stream_index != 0 || seen++ != index) continue;
        pos = pkt->pos;
        size = pkt->size;
    }
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    if (pos < 0 || size <= 0) return false;
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(pos);
    const std::string junk(size_t(size), char(0xFF));
    file.write(junk.data(), std::streamsize(junk.size()));
    return bool(file);
}

struct ReadOutcome {
    std::vector<int> numbers;  // the index each frame carries; -1 for a failed read
    int Failed() const { return int(std::count(numbers.begin(), numbers.end(), -1)); }
};

ReadOutcome ReadAll(Opened& o, long from = 0) {
    ReadOutcome r;
    const int w = o.header.biWidth, h = o.header.biHeight;
    for (long n = from; n < long(o.videoInfo.dwLength); ++n) {
        std::vector<uint8_t> f = o.Frame(n);
        r.numbers.push_back(f.empty() ? -1 : FrameNumber(f.data(), w, h));
    }
    return r;
}

// Every frame reads and carries its own index: the count is what the file
// holds, the last frame is the source's last picture.
void ExpectEveryPicture(const std::string& media, int expected, int firstPictureAt = 0) {
    ASSERT_FALSE(media.empty());
    Opened o;
    ASSERT_TRUE(o.Open(SourceScript(media))) << o.error;
    ASSERT_NE(o.video, nullptr);
    EXPECT_EQ(long(o.videoInfo.dwLength), expected + firstPictureAt) << media;
    const ReadOutcome r = ReadAll(o);
    EXPECT_EQ(r.Failed(), 0) << media;
    for (size_t n = 0; n < r.numbers.size(); ++n) {
        // Frames before the first picture show it; they are real pictures.
        const int want = std::max(0, int(n) - firstPictureAt);
        if (r.numbers[n] != want) {
            ADD_FAILURE() << media << ": frame " << n << " shows picture " << r.numbers[n];
            break;
        }
    }
    ASSERT_FALSE(r.numbers.empty());
    EXPECT_EQ(r.numbers.back(), expected - 1) << media;
    // Read backwards after the end, too: the seek finds the last picture.
    EXPECT_EQ(FrameNumber(o.Frame(long(o.videoInfo.dwLength) - 1).data(), o.header.biWidth, o.header.biHeight),
              expected - 1);
}

}  // namespace

TEST(SourceFrameCount, ProgramStreamsKeepTheirLastPictures) {
    for (const QString rate : {"25", "30000/1001"}) {
        SCOPED_TRACE(rate.toStdString());
        ExpectEveryPicture(Mpeg2Clip("vob", "vob", rate), 288);
        ExpectEveryPicture(Mpeg2Clip("mpeg", "mpg", rate), 288);
    }
}

TEST(SourceFrameCount, TransportStreamsAndAviHoldWhatTheyDecode) {
    for (const QString rate : {"25", "30000/1001"}) {
        SCOPED_TRACE(rate.toStdString());
        ExpectEveryPicture(Mpeg2Clip("mpegts", "ts", rate), 288);
        ExpectEveryPicture(AviClip(rate), 288);
    }
    // Video that starts 0.2 s after the sound: the first five frames show
    // the first picture and read as real frames.
    ExpectEveryPicture(Mpeg2Clip("mpegts", "ts", "25", "0.2"), 288, 5);
}

TEST(SourceFrames, FileCutShortBeforeOpeningFailsTheMissingFrames) {
    const std::string whole = FrontIndexedClip();
    ASSERT_FALSE(whole.empty());
    const std::string cut = CopyToTest(whole, "cut.mp4");
    std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
    for (const std::string& filters : {std::string(), std::string("ConvertToYV12()\nBicubicResize(320,240)\nAddBorders(0,8,0,8)\n")}) {
        SCOPED_TRACE(filters);
        Opened o;
        ASSERT_TRUE(o.Open(SourceScript(cut, filters))) << o.error;
        ASSERT_EQ(o.videoInfo.dwLength, 250u);  // the index still promises every picture
        const ReadOutcome r = ReadAll(o);
        // About half the pictures are there, each at its own index; every
        // frame after them fails instead of repeating the last one.
        int good = 0;
        while (good < 250 && r.numbers[good] != -1) ++good;
        EXPECT_GT(good, 60);
        EXPECT_LT(good, 190);
        EXPECT_EQ(r.Failed(), 250 - good);
        if (filters.empty()) {
            for (int n = 0; n < good; ++n) ASSERT_EQ(r.numbers[n], n);
        }
        // The failed frames stay failed when asked again, also after a seek.
        EXPECT_TRUE(o.Frame(249).empty());
        EXPECT_FALSE(o.Frame(0).empty());
        EXPECT_TRUE(o.Frame(good).empty());
    }
}

TEST(SourceFrames, FileCutShortWhileReadFailsFromTheCutOn) {
    const std::string whole = FrontIndexedClip();
    ASSERT_FALSE(whole.empty());
    const std::string cut = CopyToTest(whole, "shrinking.mp4");
    Opened o;
    ASSERT_TRUE(o.Open(SourceScript(cut)));
    ASSERT_EQ(o.videoInfo.dwLength, 250u);
    const int w = o.header.biWidth, h = o.header.biHeight;
    for (long n = 0; n < 20; ++n) ASSERT_EQ(FrameNumber(o.Frame(n).data(), w, h), n);
    // Another program cuts the file to a third while it is read.
    ASSERT_EQ(::truncate(cut.c_str(), off_t(std::filesystem::file_size(cut) / 3)), 0);
    const ReadOutcome r = ReadAll(o, 20);
    int good = 0;
    while (good < int(r.numbers.size()) && r.numbers[good] != -1) {
        ASSERT_EQ(r.numbers[good], good + 20);
        ++good;
    }
    EXPECT_LT(good + 20, 150);  // the pictures behind the cut never show
    EXPECT_EQ(r.Failed(), int(r.numbers.size()) - good);
}

TEST(SourceFrames, RepeatedPicturesOfChangeFpsAndTrimAreReal) {
    const std::string clip = Mpeg2Clip("mpegts", "ts", "25");
    ASSERT_FALSE(clip.empty());
    Opened o;
    ASSERT_TRUE(o.Open(SourceScript(clip, "ChangeFPS(30000,1001)\nTrim(10,0)\n")));
    // 288 frames at 25 fps are 345 at 29.97; Trim drops the first ten.
    ASSERT_EQ(o.videoInfo.dwLength, 335u);
    const ReadOutcome r = ReadAll(o);
    EXPECT_EQ(r.Failed(), 0);
    EXPECT_EQ(r.numbers.front(), 8);   // frame 10 at 29.97 is picture floor(10 x 25 / 29.97)
    EXPECT_EQ(r.numbers.back(), 286);  // frame 344: floor(344 x 25 / 29.97)
}

TEST(SourceFrames, PictureLostToADecodingFailureFailsItsFrameOnly) {
    // Every picture coded on its own, so one spoilt packet loses one picture.
    const std::string whole = SharedMedia("numbered_intra.mp4", {"-f", "lavfi", "-i", NumberedVideo("25", 100), "-c:v", "libx264",
                                                                 "-qp", "0", "-g", "1", "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(whole.empty());
    const std::string spoilt = CopyToTest(whole, "spoilt.mp4");
    ASSERT_TRUE(SpoilPacket(spoilt, 40));
    Opened o;
    ASSERT_TRUE(o.Open(SourceScript(spoilt)));
    ASSERT_EQ(o.videoInfo.dwLength, 100u);
    const ReadOutcome r = ReadAll(o);
    for (int n = 0; n < 100; ++n) EXPECT_EQ(r.numbers[n], n == 40 ? -1 : n) << n;
    // The same frame fails again when reached by a seek.
    EXPECT_FALSE(o.Frame(10).empty());
    EXPECT_TRUE(o.Frame(40).empty());
}
