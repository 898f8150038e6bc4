// Sources shaped like users' files, made with the ffmpeg tool: phone clips
// with a display rotation, interlaced broadcast, telecined film, HDR. The
// source must give the pictures as they are meant to be seen.
#include <gtest/gtest.h>

#include <QFile>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/Loaded.h"
#include "tests/support/Media.h"

namespace kalvex::test {
namespace {

using avs::ClipPtr;
using avs::FramePtr;

std::mutex gLinesLock;
std::vector<std::string> gLines;
void Collect(const char* line) {
    std::lock_guard g(gLinesLock);
    gLines.emplace_back(line);
}
int LinesWith(const std::string& text) {
    std::lock_guard g(gLinesLock);
    int n = 0;
    for (const std::string& l : gLines) n += l.find(text) != std::string::npos;
    return n;
}

struct Source {
    avs::OpenResult result;
    ClipPtr clip;
    explicit Source(const std::string& path) {
        {
            std::lock_guard g(gLinesLock);
            gLines.clear();
        }
        SetEngineMessageSink(&Collect);
        result = avs::OpenScriptText("DirectShowSource(\"" + path + "\")\n", "test.avs");
        clip = result.Clip();
    }
};

int Luma(const FramePtr& f, int x, int y) { return f->data[0][int64_t(y) * f->linesize[0] + x]; }

double MeanPlane(const FramePtr& f, int plane, int w, int h) {
    double sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) sum += f->data[plane][int64_t(y) * f->linesize[plane] + x];
    return sum / (double(w) * h);
}

// PSNR of the luma of two 8-bit pictures of the same size.
double Psnr(const FramePtr& a, const FramePtr& b) {
    if (!a || !b || a->width != b->width || a->height != b->height) return 0;
    double se = 0;
    for (int y = 0; y < a->height; ++y)
        for (int x = 0; x < a->width; ++x) {
            const double d = Luma(a, x, y) - Luma(b, x, y);
            se += d * d;
        }
    const double mse = se / (double(a->width) * a->height);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Writes nine 32-bit big-endian numbers over the display matrix of the
// first track header of a QuickTime file.
bool PatchMatrix(const std::string& path, const int32_t m[9]) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadWrite)) return false;
    QByteArray data = f.readAll();
    const int at = data.indexOf("tkhd");
    if (at < 0) return false;
    // Version 0 header: flags, two times, track id, reserved, duration,
    // reserved, layer, group, volume, reserved, then the matrix.
    const int matrix = at + 4 + 4 + 4 + 4 + 4 + 4 + 4 + 8 + 2 + 2 + 2 + 2;
    for (int i = 0; i < 9; ++i)
        for (int b = 0; b < 4; ++b) data[matrix + 4 * i + b] = char(uint32_t(m[i]) >> (24 - 8 * b));
    f.seek(0);
    return f.write(data) == data.size();
}

// A grey picture with a white marker in its stored top-left corner.
std::string MarkedClip() {
    return SharedMedia("marked.mp4", {"-f", "lavfi", "-i",
                                      "color=c=gray:s=160x96:r=25:d=0.4,drawbox=x=0:y=0:w=32:h=24:c=white:t=fill",
                                      "-c:v", "libx264", "-pix_fmt", "yuv420p"});
}

std::string Rotated(int degrees) {
    const std::string plain = MarkedClip();
    if (plain.empty()) return {};
    return SharedMedia(QString("rotated%1.mp4").arg(degrees),
                       {"-i", QString::fromStdString(plain), "-c", "copy", "-metadata:s:v:0",
                        QString("rotate=%1").arg(degrees)});
}

std::string WithMatrix(const QString& name, const int32_t m[9]) {
    const std::string plain = MarkedClip();
    if (plain.empty()) return {};
    const std::string copy = SharedMedia(name, {"-i", QString::fromStdString(plain), "-c", "copy"});
    if (copy.empty() || !PatchMatrix(copy, m)) return {};
    return copy;
}

// Which corner the marker shows in: 0 top-left, 1 top-right, 2 bottom-left,
// 3 bottom-right; -1 none or several.
int MarkerCorner(const FramePtr& f) {
    const int w = f->width, h = f->height;
    const int xs[4] = {4, w - 5, 4, w - 5}, ys[4] = {4, 4, h - 5, h - 5};
    int found = -1;
    for (int i = 0; i < 4; ++i) {
        if (Luma(f, xs[i], ys[i]) > 200) {
            if (found >= 0) return -1;
            found = i;
        }
    }
    return found;
}

TEST(SourceCorrections, PhoneClipsAreTurnedUpright) {
    struct Case {
        int degrees;
        int corner;
    };
    // rotate=90 shows the stored picture a quarter turn to the left, as
    // the ffmpeg tool shows it.
    for (const Case& k : {Case{90, 2}, Case{180, 3}, Case{270, 1}}) {
        SCOPED_TRACE(k.degrees);
        const std::string path = Rotated(k.degrees);
        ASSERT_FALSE(path.empty());
        Source s(path);
        ASSERT_TRUE(s.clip) << s.result.error;
        const auto& info = s.clip->Info();
        const bool swapped = k.degrees != 180;
        EXPECT_EQ(info.width, swapped ? 96 : 160);
        EXPECT_EQ(info.height, swapped ? 160 : 96);
        EXPECT_EQ(s.result.source.darX, swapped ? 3 : 5);
        EXPECT_EQ(s.result.source.darY, swapped ? 5 : 3);
        EXPECT_EQ(info.frameCount, 10);
        for (int n : {0, 9, 3}) {  // a jump back too
            FramePtr f = s.clip->GetFrame(n);
            ASSERT_TRUE(f);
            EXPECT_EQ(f->width, info.width);
            EXPECT_EQ(MarkerCorner(f), k.corner) << "frame " << n;
        }
        EXPECT_EQ(LinesWith("rotated " + std::to_string(k.degrees)), 1);
    }
}

TEST(SourceCorrections, MirroredAndUnusableMatricesAtTheSourceLevel) {
    // Mirrored left to right: the marker goes to the top right.
    const int32_t mirror[9] = {-65536, 0, 0, 0, 65536, 0, 160 * 65536, 0, 1 << 30};
    const std::string mirrored = WithMatrix("mirrored.mp4", mirror);
    ASSERT_FALSE(mirrored.empty());
    {
        Source s(mirrored);
        ASSERT_TRUE(s.clip) << s.result.error;
        EXPECT_EQ(s.clip->Info().width, 160);
        EXPECT_EQ(MarkerCorner(s.clip->GetFrame(0)), 1);
        EXPECT_EQ(LinesWith("mirrored"), 1);
    }
    // 37 degrees and a shear: shown as stored, and said so.
    const double c = std::cos(37 * M_PI / 180), sn = std::sin(37 * M_PI / 180);
    const int32_t turn37[9] = {int32_t(c * 65536), int32_t(-sn * 65536), 0, int32_t(sn * 65536), int32_t(c * 65536),
                               0, 0, 0, 1 << 30};
    const int32_t shear[9] = {65536, 0, 0, 32768, 65536, 0, 0, 0, 1 << 30};
    for (const auto& [name, m] : {std::pair{"turn37.mp4", turn37}, std::pair{"shear.mp4", shear}}) {
        SCOPED_TRACE(name);
        const std::string path = WithMatrix(name, m);
        ASSERT_FALSE(path.empty());
        Source s(path);
        ASSERT_TRUE(s.clip) << s.result.error;
        EXPECT_EQ(s.clip->Info().width, 160);
        EXPECT_EQ(s.clip->Info().height, 96);
        EXPECT_EQ(MarkerCorner(s.clip->GetFrame(0)), 0);
        EXPECT_EQ(LinesWith("shown unturned"), 1);
    }
}

// Moving pictures with detail, 50 progressive pictures a second: the truth.
std::string Truth50p() {
    return SharedMedia("truth50p.mkv", {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=50:d=1.2,gblur=sigma=0.8", "-c:v",
                                        "ffv1", "-pix_fmt", "yuv420p"});
}

std::string Interlaced(const QString& name, bool fieldOrderTold) {
    const std::string truth = Truth50p();
    if (truth.empty()) return {};
    QStringList args{"-i", QString::fromStdString(truth), "-vf", "tinterlace=interleave_top", "-c:v", "ffv1"};
    if (fieldOrderTold) args << "-field_order" << "tt";
    return SharedMedia(name, args);
}

TEST(SourceCorrections, InterlacedVideoIsDeinterlacedNotWoven) {
    const std::string truthPath = Truth50p();
    ASSERT_FALSE(truthPath.empty());
    Source truth(truthPath);
    ASSERT_TRUE(truth.clip);
    // The file that says its field order, and one that does not (AVI).
    for (const auto& [name, told] : {std::pair{"interlaced.mkv", true}, std::pair{"interlaced.avi", false}}) {
        SCOPED_TRACE(name);
        const std::string path = Interlaced(name, told);
        ASSERT_FALSE(path.empty());
        Source s(path);
        ASSERT_TRUE(s.clip) << s.result.error;
        EXPECT_EQ(s.clip->Info().fps.num, 25);
        EXPECT_EQ(s.clip->Info().frameCount, 30);
        EXPECT_EQ(LinesWith("bwdif"), 1);
        double sum = 0, woven = 0;
        for (int n = 2; n < 28; n += 5) {
            // Each frame shows the moment of its top field: truth 2n.
            const double p = Psnr(s.clip->GetFrame(n), truth.clip->GetFrame(2 * n));
            EXPECT_GT(p, 30) << "frame " << n;
            sum += p;
        }
        // The same pictures woven (what an uncorrected source gives) are
        // clearly further from the truth.
        const std::string wovenPath = SharedMedia(QString("woven_%1").arg(name), {"-i", QString::fromStdString(path),
                                                                                   "-c:v", "ffv1", "-field_order",
                                                                                   "progressive", "-f", "matroska"});
        ASSERT_FALSE(wovenPath.empty());
        Source w(wovenPath);
        ASSERT_TRUE(w.clip);
        for (int n = 2; n < 28; n += 5) woven += Psnr(w.clip->GetFrame(n), truth.clip->GetFrame(2 * n));
        EXPECT_GT(sum, woven + 6 * 2.0) << sum / 6 << " dB against " << woven / 6 << " dB woven";
    }
}

bool SameLuma(const FramePtr& a, const FramePtr& b) {
    if (!a || !b || a->width != b->width || a->height != b->height) return false;
    for (int y = 0; y < a->height; ++y)
        if (std::memcmp(a->data[0] + y * a->linesize[0], b->data[0] + y * b->linesize[0], a->width) != 0) return false;
    return true;
}

// A jump back (the preview's seek) gives the frame a reading from the
// start gives, though the deinterlacer looks at the picture before.
TEST(SourceCorrections, DeinterlacedFramesAfterAJumpAreThoseOfASequentialRead) {
    const std::string path = Interlaced("interlaced.mkv", true);
    ASSERT_FALSE(path.empty());
    Source sequential(path);
    Source jumping(path);
    ASSERT_TRUE(sequential.clip && jumping.clip);
    std::vector<FramePtr> frames;
    for (int n = 0; n < 30; ++n) frames.push_back(sequential.clip->GetFrame(n));
    ASSERT_TRUE(jumping.clip->GetFrame(29));
    for (int n : {12, 1, 0, 27}) {
        jumping.clip->GetFrame(29);
        EXPECT_TRUE(SameLuma(jumping.clip->GetFrame(n), frames[n])) << "frame " << n;
    }
}

TEST(SourceCorrections, TelecinedFilmComesBackAsItsPictures) {
    const std::string truthPath = SharedMedia(
        "film.mkv", {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=24000/1001:d=2,gblur=sigma=0.8", "-c:v", "ffv1",
                     "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(truthPath.empty());
    const std::string path =
        SharedMedia("telecined.mkv", {"-i", QString::fromStdString(truthPath), "-vf", "telecine=pattern=23", "-c:v",
                                      "ffv1", "-field_order", "tt"});
    ASSERT_FALSE(path.empty());
    Source truth(truthPath);
    Source s(path);
    ASSERT_TRUE(truth.clip && s.clip) << s.result.error;
    ASSERT_EQ(truth.clip->Info().frameCount, 48);
    EXPECT_EQ(s.clip->Info().fps.num, 24000);
    EXPECT_EQ(s.clip->Info().fps.den, 1001);
    EXPECT_EQ(s.clip->Info().frameCount, 48);
    EXPECT_EQ(LinesWith("inverse telecine"), 1);
    int good = 0;
    for (int n = 0; n < 48; ++n) {
        const double p = Psnr(s.clip->GetFrame(n), truth.clip->GetFrame(n));
        good += p > 40;
        if (n >= 45) {
            EXPECT_GT(p, 40) << "frame " << n;  // the last ones too
        }
    }
    EXPECT_GE(good, 46);
    // After a jump back the film's pictures come back too.
    for (int n : {20, 7, 33}) {
        s.clip->GetFrame(47);
        EXPECT_GT(Psnr(s.clip->GetFrame(n), truth.clip->GetFrame(n)), 40) << "frame " << n << " after a jump";
    }
}

// The SDR truth and the same pictures as HDR (10-bit BT.2020, PQ or HLG),
// with SDR white at 100 nits.
std::string SdrTruth() {
    return SharedMedia("sdr.mkv", {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25:d=0.4", "-c:v", "ffv1", "-pix_fmt",
                                   "yuv420p", "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace",
                                   "bt709"});
}

std::string Hdr(const QString& transfer, const QString& name) {
    const std::string sdr = SdrTruth();
    if (sdr.empty()) return {};
    const QString zimgTransfer = transfer == "smpte2084" ? "smpte2084" : "arib-std-b67";
    return SharedMedia(
        name, {"-i", QString::fromStdString(sdr), "-vf",
               "zscale=tin=709:min=709:pin=709:rin=limited:t=linear:npl=100,format=gbrpf32le,zscale=p=2020:t=" +
                   zimgTransfer + ":m=2020_ncl:r=limited:npl=100,format=yuv420p10le",
               "-c:v", "ffv1", "-color_primaries", "bt2020", "-color_trc", transfer, "-colorspace", "bt2020nc"});
}

TEST(SourceCorrections, HdrIsToneMappedToSdr) {
    Source truth(SdrTruth());
    ASSERT_TRUE(truth.clip);
    FramePtr t = truth.clip->GetFrame(5);
    const double tY = MeanPlane(t, 0, 320, 240);
    // Colour strength: how far the chroma lies from grey.
    auto chroma = [](const FramePtr& f) {
        double s = 0;
        for (int p : {1, 2})
            for (int y = 0; y < 120; ++y)
                for (int x = 0; x < 160; ++x) s += std::abs(f->data[p][y * f->linesize[p] + x] - 128);
        return s;
    };
    for (const auto& [transfer, name] : {std::pair{"smpte2084", "pq.mkv"}, std::pair{"arib-std-b67", "hlg.mkv"}}) {
        SCOPED_TRACE(name);
        const std::string path = Hdr(transfer, name);
        ASSERT_FALSE(path.empty());
        Source s(path);
        ASSERT_TRUE(s.clip) << s.result.error;
        const auto& info = s.clip->Info();
        EXPECT_EQ(info.pixelFormat, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(info.colorSpace, AVCOL_SPC_BT709);
        EXPECT_EQ(info.colorRange, AVCOL_RANGE_MPEG);
        EXPECT_EQ(LinesWith("tone-mapped"), 1);
        EXPECT_EQ(LinesWith("(measured)"), 1);
        FramePtr f = s.clip->GetFrame(5);
        ASSERT_TRUE(f);
        EXPECT_NEAR(MeanPlane(f, 0, 320, 240), tY, 12);
        EXPECT_GT(chroma(f), 0.75 * chroma(t));
        EXPECT_GT(Psnr(f, t), 25);
    }
}

// Adds boxes to the end of the first video sample entry of a QuickTime
// file whose index follows its media data (ffmpeg's default): the sizes of
// the boxes around it grow, no media offset moves.
bool AddToSampleEntry(const std::string& path, const QByteArray& boxes) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadWrite)) return false;
    QByteArray data = f.readAll();
    auto u32 = [&](int at) {
        return uint32_t(uint8_t(data[at])) << 24 | uint32_t(uint8_t(data[at + 1])) << 16 |
               uint32_t(uint8_t(data[at + 2])) << 8 | uint32_t(uint8_t(data[at + 3]));
    };
    // Each level: the box's name and where its children start.
    const std::pair<const char*, int> levels[] = {{"moov", 8}, {"trak", 8}, {"mdia", 8}, {"minf", 8},
                                                  {"stbl", 8}, {"stsd", 16}, {"hvc1", 86}};
    std::vector<int> parents;
    int from = 0, to = int(data.size());
    for (const auto& [name, header] : levels) {
        int at = from;
        while (at + 8 <= to && data.mid(at + 4, 4) != name && u32(at) >= 8) at += int(u32(at));
        if (at + 8 > to || data.mid(at + 4, 4) != name) return false;
        parents.push_back(at);
        from = at + header;
        to = at + int(u32(at));
    }
    if (data.indexOf("mdat") > parents[0]) return false;  // media offsets would move
    data.insert(to, boxes);
    for (int at : parents) {
        const uint32_t size = u32(at) + uint32_t(boxes.size());
        for (int b = 0; b < 4; ++b) data[at + b] = char(size >> (24 - 8 * b));
    }
    f.seek(0);
    return f.write(data) == data.size();
}

QByteArray Big(uint32_t v, int bytes) {
    QByteArray b;
    for (int i = bytes - 1; i >= 0; --i) b.append(char(v >> (8 * i)));
    return b;
}

// Content light level (MaxCLL, MaxFALL) and, when masteringNits > 0, a
// mastering display with that peak.
QByteArray LightLevels(uint16_t maxCll, uint32_t masteringNits) {
    QByteArray clli = Big(12, 4) + "clli" + Big(maxCll, 2) + Big(maxCll / 2, 2);
    if (masteringNits == 0) return clli;
    QByteArray mdcv = Big(32, 4) + "mdcv";
    for (uint32_t v : {8500u, 39850u, 6550u, 2300u, 35400u, 14600u, 15635u, 16450u}) mdcv += Big(v, 2);
    mdcv += Big(masteringNits * 10000u, 4) + Big(50, 4);
    return clli + mdcv;
}

TEST(SourceCorrections, LightLevelsOfTheFileSetTheToneMappingPeak) {
    Source truth(SdrTruth());
    ASSERT_TRUE(truth.clip);
    const double tY = MeanPlane(truth.clip->GetFrame(5), 0, 320, 240);
    struct Case {
        const char* name;
        uint16_t maxCll;
        uint32_t mastering;
        const char* said;
        double peak;
    };
    for (const Case& k : {Case{"cll1000.mp4", 1000, 0, "peak 1000 nits (MaxCLL)", 1000},
                          Case{"cll0.mp4", 0, 100000, "taken as 10000", 10000}}) {
        SCOPED_TRACE(k.name);
        const std::string path = SharedMedia(
            k.name, {"-i", QString::fromStdString(SdrTruth()), "-vf",
                     "zscale=tin=709:min=709:pin=709:rin=limited:t=linear:npl=100,format=gbrpf32le,zscale=p=2020:t="
                     "smpte2084:m=2020_ncl:r=limited:npl=100,format=yuv420p10le",
                     "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-tag:v", "hvc1",
                     "-color_primaries", "bt2020", "-color_trc", "smpte2084", "-colorspace", "bt2020nc"});
        ASSERT_FALSE(path.empty());
        ASSERT_TRUE(AddToSampleEntry(path, LightLevels(k.maxCll, k.mastering)));
        Source s(path);
        ASSERT_TRUE(s.clip) << s.result.error;
        EXPECT_EQ(LinesWith(k.said), 1);
        if (k.maxCll == 0) {
            EXPECT_EQ(LinesWith("0 nits (MaxCLL) ignored"), 1);
        }
        // Content graded at SDR white, compressed for a brighter peak: a
        // little darker than the truth, yet near its brightness whatever
        // the peak (an operator that compresses everything, such as
        // hable, takes about a third off).
        const double y = MeanPlane(s.clip->GetFrame(5), 0, 320, 240);
        EXPECT_LT(y, tY - 5);
        EXPECT_GT(y, 0.85 * tY) << "peak " << k.peak;
    }
}

TEST(SourceCorrections, OrdinaryFilesGetNoCorrections) {
    const QString clip = MakeClip("plain.mp4", 0.4, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    Source s(clip.toStdString());
    ASSERT_TRUE(s.clip);
    EXPECT_EQ(s.clip->Info().width, 160);
    EXPECT_EQ(s.clip->Info().pixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(LinesWith("DirectShowSource"), 0);
}

// libavfilter is opened when a source first needs a filter graph, not at
// the program's start: an ordinary file is read without it, a phone clip
// loads it and is turned. Each case runs in a process of its own (the
// death test runs this program again for it), where nothing has loaded
// the library before.
TEST(SourceCorrectionsDeathTest, TheFilterLibraryIsLoadedOnlyForASourceThatNeedsIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QString plain = MakeClip("plain.mp4", 0.4, 160, 120);
    const std::string rotated = Rotated(90);
    ASSERT_FALSE(plain.isEmpty());
    ASSERT_FALSE(rotated.empty());
    // The exit code says what went wrong: 0 as expected.
    EXPECT_EXIT(
        {
            const bool before = LibraryLoaded("libavfilter.so");
            Source s(plain.toStdString());
            const bool read = s.clip && s.clip->GetFrame(5) != nullptr;
            std::_Exit(before ? 2 : !read ? 3 : LibraryLoaded("libavfilter.so") ? 4 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            const bool before = LibraryLoaded("libavfilter.so");
            Source s(rotated);
            FramePtr f = s.clip ? s.clip->GetFrame(5) : nullptr;
            const bool turned = f && f->width == 96 && MarkerCorner(f) == 2;
            std::_Exit(before ? 2 : !turned ? 3 : !LibraryLoaded("libavfilter.so") ? 4 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kalvex::test
