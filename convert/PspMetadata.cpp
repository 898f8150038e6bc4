#include "convert/PspMetadata.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "common/ProgramLog.h"
#include "engine/AvHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace kalvex {

namespace {

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The length of the valid UTF-8 character at s[i], or 0 when none starts
// there (a stray or overlong byte, a surrogate, beyond U+10FFFF).
size_t Utf8CharAt(const std::string& s, size_t i, uint32_t* cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n = 0;
    uint32_t v = 0, min = 0;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        n = 2, v = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, v = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, v = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Now as the title box writes its date: "YYYY/MM/DD HH:MM:SS", local time.
std::string CurrentDate() {
    const time_t now = ::time(nullptr);
    struct tm local {};
    char text[32] = "2000/01/01 00:00:00";
    if (::localtime_r(&now, &local)) std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

std::string FileTitle(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    return dot == std::string::npos ? fileName : fileName.substr(0, dot);
}

}  // namespace

std::string PspTitleText(const std::string& raw) {
    std::string out;
    size_t units = 0;
    for (size_t i = 0; i < raw.size() && units < kMaxPspTitleUnits;) {
        uint32_t cp = 0;
        size_t n = Utf8CharAt(raw, i, &cp);
        if (n == 0) {
            cp = static_cast<unsigned char>(raw[i]);  // Latin-1
            n = 1;
        }
        i += n;
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) cp = ' ';
        if (cp > 0xFFFF) cp = 0xFFFD;
        AppendUtf8(out, cp);
        ++units;
    }
    const size_t first = out.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const size_t last = out.find_last_not_of(' ');
    return out.substr(first, last - first + 1);
}

std::string PspTitle(const std::string& sourceTitleTag, const std::string& fileName) {
    std::string title = PspTitleText(sourceTitleTag);
    if (title.empty()) title = PspTitleText(FileTitle(fileName));
    return title;
}

std::string ReadSourceTitleTag(const std::string& path) {
    AVFormatContext* ic = nullptr;
    const int r = avformat_open_input(&ic, path.c_str(), nullptr, nullptr);
    if (r < 0) {
        LogLine("Reading the title of %s failed: %s", path.c_str(), AvError(r).c_str());
        return {};
    }
    avs::InputPtr input(ic);
    const AVDictionaryEntry* tag = av_dict_get(ic->metadata, "title", nullptr, 0);
    return tag && tag->value ? tag->value : std::string();
}

namespace {

void Put16(std::string& out, unsigned v) {
    out += char((v >> 8) & 0xFF);
    out += char(v & 0xFF);
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, v >> 16);
    Put16(out, v & 0xFFFF);
}

// One text entry of the MTDT box: its size, type, language, a 1, then the
// text in UTF-16 with a closing 0 unit.
void PutTextEntry(std::string& out, const std::string& utf8, uint32_t type, unsigned language) {
    std::string units;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = 0;
        size_t n = Utf8CharAt(utf8, i, &cp);
        if (n == 0) cp = static_cast<unsigned char>(utf8[i]), n = 1;
        i += n;
        Put16(units, cp > 0xFFFF ? 0xFFFD : cp);
    }
    Put16(units, 0);
    Put16(out, unsigned(units.size() + 10));
    Put32(out, type);
    Put16(out, language);
    Put16(out, 1);
    out += units;
}

constexpr unsigned kLanguageUnd = 0x55C4, kLanguageEng = 0x15C7;  // ISO 639-2 packed in 5-bit letters

}  // namespace

std::string PspTitleBox(const std::string& title, const std::string& date) {
    std::string entries;
    // The fixed first entry the PSP's own files carry.
    Put16(entries, 0x0C);
    Put32(entries, 0x0B);
    Put16(entries, kLanguageUnd);
    Put16(entries, 0);
    Put16(entries, 0x021C);
    PutTextEntry(entries, title, 1, kLanguageEng);
    PutTextEntry(entries, date, 3, kLanguageUnd);

    std::string mtdt;
    Put32(mtdt, uint32_t(entries.size() + 10));
    mtdt += "MTDT";
    Put16(mtdt, 3);
    mtdt += entries;

    std::string box;
    Put32(box, uint32_t(mtdt.size() + 24));
    box += "uuidUSMT";
    Put32(box, 0x21D24FCE);
    Put32(box, 0xBB88695C);
    Put32(box, 0xFAC9C740);
    return box + mtdt;
}

bool AppendPspTitleBox(const std::string& path, const std::string& title, std::string* reason) {
    auto fail = [&](const std::string& why) {
        if (reason) *reason = why;
        return false;
    };
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return fail("Could not open " + path + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) return fail("Could not read " + path + ": " + std::strerror(errno));

    // The top-level boxes, to the last one.
    off_t at = 0, lastAt = -1;
    uint64_t lastSize = 0;
    bool lastLarge = false;
    char lastType[5] = {};
    while (at < end) {
        unsigned char head[16];
        if (::pread(fd, head, 8, at) != 8) return fail("The file " + path + " ends inside a box");
        uint64_t size = uint64_t(head[0]) << 24 | uint64_t(head[1]) << 16 | uint64_t(head[2]) << 8 | head[3];
        bool large = false;
        if (size == 1) {
            if (::pread(fd, head + 8, 8, at + 8) != 8) return fail("The file " + path + " ends inside a box");
            size = 0;
            for (int i = 8; i < 16; ++i) size = size << 8 | head[i];
            large = true;
        } else if (size == 0) {
            size = uint64_t(end - at);
        }
        if (size < (large ? 16u : 8u) || size > uint64_t(end - at)) return fail("The file " + path + " has a broken box");
        std::memcpy(lastType, head + 4, 4);
        lastAt = at;
        lastSize = size;
        lastLarge = large;
        at += off_t(size);
    }
    if (lastAt < 0 || std::strcmp(lastType, "moov") != 0) return fail("The movie box of " + path + " is not its last box");

    const std::string box = PspTitleBox(title, CurrentDate());
    const uint64_t newSize = lastSize + box.size();
    if (!lastLarge && newSize > 0xFFFFFFFFu) return fail("The movie box of " + path + " cannot grow");
    auto undo = [&](const std::string& why) {
        if (::ftruncate(fd, end) != 0) LogLine("Could not cut %s back: %s", path.c_str(), std::strerror(errno));
        return fail(why);
    };
    if (::pwrite(fd, box.data(), box.size(), end) != ssize_t(box.size()) || ::fsync(fd) != 0)
        return undo("Could not write the title into " + path + ": " + std::strerror(errno));
    std::string size;
    if (lastLarge) {
        Put32(size, uint32_t(newSize >> 32));
        Put32(size, uint32_t(newSize & 0xFFFFFFFFu));
    } else {
        Put32(size, uint32_t(newSize));
    }
    if (::pwrite(fd, size.data(), size.size(), lastAt + (lastLarge ? 8 : 0)) != ssize_t(size.size()))
        return undo("Could not write the title into " + path + ": " + std::strerror(errno));
    return true;
}

size_t ThumbnailFrameIndex(size_t totalFrames) { return totalFrames / 10; }

bool IsBlackPicture(const uint8_t* luma, int width, int height, int stride) {
    if (width <= 0 || height <= 0) return true;
    int64_t bright = 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = luma + int64_t(y) * stride;
        for (int x = 0; x < width; ++x) bright += row[x] > 40;
    }
    // bright < 2 % of the samples
    return bright * 50 < int64_t(width) * height;
}

ThumbnailBox ThumbnailBoxFor(int videoWidth, int videoHeight) {
    auto even = [](double v) { return std::max(2, int(std::lround(v / 2.0)) * 2); };
    ThumbnailBox box{kThumbnailWidth, kThumbnailHeight, 0, 0};
    if (videoWidth <= 0 || videoHeight <= 0) return box;
    if (int64_t(videoWidth) * kThumbnailHeight >= int64_t(videoHeight) * kThumbnailWidth) {
        box.height = std::min(kThumbnailHeight, even(double(kThumbnailWidth) * videoHeight / videoWidth));
        box.top = ((kThumbnailHeight - box.height) / 2) & ~1;
    } else {
        box.width = std::min(kThumbnailWidth, even(double(kThumbnailHeight) * videoWidth / videoHeight));
        box.left = ((kThumbnailWidth - box.width) / 2) & ~1;
    }
    return box;
}

bool WriteThumbnail(const uint8_t* yv12, int width, int height, const std::string& path, std::string* reason) {
    auto fail = [&](const std::string& why, int code = 0) {
        if (reason) *reason = code ? why + ": " + AvError(code) : why;
        return false;
    };
    if (!yv12 || width < 2 || height < 2) return fail("There is no picture for the thumbnail");

    // The picture as planar YUV 4:2:0: the chroma planes of YV12 exchanged.
    const uint8_t* src[4] = {};
    int srcStride[4] = {};
    int r = av_image_fill_arrays(const_cast<uint8_t**>(src), srcStride, yv12, AV_PIX_FMT_YUV420P, width, height, 1);
    if (r < 0) return fail("Sizing the thumbnail's source failed", r);
    std::swap(src[1], src[2]);

    // Black all over, full range (JPEG), then the picture in its box.
    avs::AvFramePtr thumb(av_frame_alloc());
    if (!thumb) return fail("Could not allocate the thumbnail", AVERROR(ENOMEM));
    thumb->format = AV_PIX_FMT_YUVJ420P;
    thumb->width = kThumbnailWidth;
    thumb->height = kThumbnailHeight;
    r = av_frame_get_buffer(thumb.get(), 0);
    if (r < 0) return fail("Could not allocate the thumbnail", r);
    for (int p = 0; p < 3; ++p) {
        const int rows = p ? kThumbnailHeight / 2 : kThumbnailHeight;
        std::memset(thumb->data[p], p ? 128 : 0, size_t(thumb->linesize[p]) * rows);
    }
    const ThumbnailBox box = ThumbnailBoxFor(width, height);
    avs::SwsPtr sws(sws_getContext(width, height, AV_PIX_FMT_YUV420P, box.width, box.height, AV_PIX_FMT_YUVJ420P,
                                   SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
    if (!sws) return fail("Could not set up the thumbnail's scaling");
    uint8_t* dst[4] = {thumb->data[0] + box.top * thumb->linesize[0] + box.left,
                       thumb->data[1] + box.top / 2 * thumb->linesize[1] + box.left / 2,
                       thumb->data[2] + box.top / 2 * thumb->linesize[2] + box.left / 2, nullptr};
    if (sws_scale(sws.get(), src, srcStride, 0, height, dst, thumb->linesize) <= 0)
        return fail("Scaling the thumbnail failed");

    // Baseline JPEG: FFmpeg's MJPEG encoder writes baseline DCT frames with
    // the standard Huffman tables.
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec) return fail("No JPEG encoder in the FFmpeg libraries");
    avs::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return fail("Could not create the JPEG encoder", AVERROR(ENOMEM));
    ctx->width = kThumbnailWidth;
    ctx->height = kThumbnailHeight;
    ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
    ctx->color_range = AVCOL_RANGE_JPEG;
    ctx->time_base = AVRational{1, 25};
    ctx->flags |= AV_CODEC_FLAG_QSCALE;
    ctx->global_quality = 3 * FF_QP2LAMBDA;
    r = avcodec_open2(ctx.get(), codec, nullptr);
    if (r < 0) return fail("Opening the JPEG encoder failed", r);
    thumb->quality = ctx->global_quality;
    thumb->pts = 0;
    r = avcodec_send_frame(ctx.get(), thumb.get());
    if (r >= 0) r = avcodec_send_frame(ctx.get(), nullptr);
    if (r < 0) return fail("Encoding the thumbnail failed", r);
    avs::PacketPtr packet(av_packet_alloc());
    if (!packet) return fail("Could not allocate a packet", AVERROR(ENOMEM));
    r = avcodec_receive_packet(ctx.get(), packet.get());
    if (r < 0) return fail("Encoding the thumbnail failed", r);

    // Complete or not at all: a temporary name of this process (two runs
    // into one folder never write the same file), flushed, then renamed.
    const std::string part = path + "." + std::to_string(::getpid()) + ".part";
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail("Could not create " + part + ": " + std::strerror(errno));
    size_t done = 0;
    int error = 0;
    while (done < size_t(packet->size)) {
        const ssize_t n = ::write(fd, packet->data + done, size_t(packet->size) - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += size_t(n);
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(part.c_str(), path.c_str()) != 0) error = errno;
    if (error) {
        ::unlink(part.c_str());
        return fail("Could not write " + path + ": " + std::strerror(error));
    }
    return true;
}

}  // namespace kalvex
