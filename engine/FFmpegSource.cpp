// DirectShowSource: opens any file FFmpeg can read and serves its best video
// stream and its best audio stream. Video and audio each have their own
// decoder. In a conversion, where both are read forward together, one
// demuxer feeds both: the packets of the other stream wait in a short queue
// for it, so an interleaved file is read once. Anywhere else, and as soon
// as either side jumps or runs too far ahead of the other, the sound has a
// demuxer of its own, so that the two streams can be read independently
// (from two threads, or one far ahead of the other). Frames are placed on
// the script's time line by their time stamps: frame n is the last decoded
// picture whose time stamp falls on or before n / fps. Sequential reading
// never seeks; a jump seeks to the key frame before the wanted frame and
// decodes forward. Pictures that need it are corrected on the way out of
// the decoder (turned upright, deinterlaced, telecined film given back, HDR
// tone-mapped; see PictureChain.h): the clip's size, rate and length are
// then those of the corrected pictures.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/stat.h>

#include "engine/AvHandles.h"
#include "engine/Clip.h"
#include "engine/DecodeAhead.h"
#include "engine/DecodeHint.h"
#include "engine/PictureChain.h"
#include "engine/SourceCounts.h"
#include "engine/Tracks.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/display.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace kalvex::avs {
namespace {

// How often the source filter worked its way into files, for the tests and
// benchmarks that hold it to reading each file about once.
std::atomic<int64_t> gStreamSearches{0};  // avformat_find_stream_info runs
std::atomic<int64_t> gDecoderOpens{0};    // decoders opened by the filter itself
std::atomic<int64_t> gCountDecodes{0};    // frame counts found by decoding the end
std::atomic<int64_t> gSoundApart{0};      // sounds that left the reading shared with the picture
std::atomic<int> gLastVideoThreads{0};    // threads of the last picture decoder opened

// What one side of a shared reading may hold for the other, unless the
// opener says otherwise: a few seconds of a 4K picture, far more of sound.
constexpr int64_t kReadOnceQueueBytes = 16 << 20;
std::atomic<int64_t> gVideoSeeks{0};      // picture readings moved to a key frame

// What the first opening of a file learned, kept for its later openings in
// the same process (the examination's, then the conversion's and the
// preview's, each with a reading for the picture and one for the sound):
// the streams' parameters, which otherwise take a search through the first
// packets with a decoder per stream each time, and the source's findings
// (its length, its ends, a look at its first pictures), which otherwise
// take readings of its end. A file is the same while its device, inode,
// size and time of change are; anything else makes a new entry.
struct FileId {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    int64_t changed = 0;  // nanoseconds
    bool operator==(const FileId& o) const {
        return path == o.path && device == o.device && inode == o.inode && size == o.size && changed == o.changed;
    }
};

bool IdentifyFile(const std::string& path, FileId* id) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    id->path = path;
    id->device = st.st_dev;
    id->inode = st.st_ino;
    id->size = st.st_size;
    id->changed = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

struct StreamFacts {
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codec = AV_CODEC_ID_NONE;
    std::shared_ptr<AVCodecParameters> par;
    AVRational timeBase{0, 1};
    AVRational avgRate{0, 1};
    AVRational realRate{0, 1};
    int64_t start = AV_NOPTS_VALUE;
    int64_t duration = AV_NOPTS_VALUE;
    int64_t frames = 0;
    // The search had to decode the stream's pictures to learn their format:
    // its decoder opens.
    bool decodedInSearch = false;
};

// What the source found out about the video's length and the file's ends,
// for one choice of sound stream.
struct Findings {
    int audioIndex = -1;
    int64_t vstart = 0;
    int64_t frameCount = 0;  // before the corrections
    bool stretched = false;
    int64_t audioEnd = AV_NOPTS_VALUE;
    int64_t mediaEnd = AV_NOPTS_VALUE;
};

struct FileFacts {
    FileId id;
    std::string format;
    int64_t start = AV_NOPTS_VALUE;
    int64_t duration = AV_NOPTS_VALUE;
    std::vector<StreamFacts> streams;
    // Filled in by the first source that opened the file (under gFactsLock).
    std::vector<Findings> findings;
    bool probed = false;
    PictureProbe probe;
    // Whether the video's decoder opened for an opening of the file: 1 it
    // did, -1 it failed (for the reason below), 0 not tried yet.
    int videoDecoder = 0;
    std::string videoDecoderError;
};

std::mutex gFactsLock;
std::deque<std::shared_ptr<FileFacts>> gFacts;  // newest first
constexpr size_t kMostFacts = 16;

// Formats whose header lists every stream and whose packets all carry their
// own time stamps, so that nothing but the parameters comes out of the
// search through the first packets: MP4 and its kin, Matroska and WebM.
// Others (program and transport streams find their streams while reading,
// AVI makes up time stamps from what the search decoded) always search.
bool KnownLayout(const AVFormatContext* fmt) {
    const char* name = fmt->iformat->name;
    return !(fmt->ctx_flags & AVFMTCTX_NOHEADER) &&
           (std::strcmp(name, "mov,mp4,m4a,3gp,3g2,mj2") == 0 || std::strcmp(name, "matroska,webm") == 0);
}

std::shared_ptr<FileFacts> LookUpFacts(const FileId& id) {
    std::lock_guard<std::mutex> g(gFactsLock);
    for (const auto& f : gFacts)
        if (f->id == id) return f;
    return nullptr;
}

// Takes the streams' parameters of a file opened and searched in full. They
// stand in for a later search only where the layout is known (ApplyFacts);
// the source's findings (length, ends, first pictures) are kept for every
// file, since a later opening that searches the file again finds the same
// streams in the same order.
// formatsBefore: the streams' pixel formats before the search.
std::shared_ptr<FileFacts> KeepFacts(const FileId& id, const AVFormatContext* fmt, const std::vector<int>& formatsBefore) {
    auto facts = std::make_shared<FileFacts>();
    facts->id = id;
    facts->format = fmt->iformat->name;
    facts->start = fmt->start_time;
    facts->duration = fmt->duration;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        StreamFacts s;
        s.type = st->codecpar->codec_type;
        s.codec = st->codecpar->codec_id;
        s.par.reset(avcodec_parameters_alloc(), [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
        if (!s.par || avcodec_parameters_copy(s.par.get(), st->codecpar) < 0) return nullptr;
        s.timeBase = st->time_base;
        s.avgRate = st->avg_frame_rate;
        s.realRate = st->r_frame_rate;
        s.start = st->start_time;
        s.duration = st->duration;
        s.frames = st->nb_frames;
        s.decodedInSearch = s.type == AVMEDIA_TYPE_VIDEO && st->codecpar->format != AV_PIX_FMT_NONE &&
                            (i >= formatsBefore.size() || formatsBefore[i] == AV_PIX_FMT_NONE);
        facts->streams.push_back(std::move(s));
    }
    std::lock_guard<std::mutex> g(gFactsLock);
    std::erase_if(gFacts, [&](const std::shared_ptr<FileFacts>& f) { return f->id.path == id.path; });
    gFacts.push_front(facts);
    if (gFacts.size() > kMostFacts) gFacts.pop_back();
    return facts;
}

// Gives a freshly opened file the parameters an earlier search found, when
// the file shows the same streams; false leaves it to a search of its own.
bool ApplyFacts(AVFormatContext* fmt, const FileFacts& facts) {
    if (facts.format != fmt->iformat->name || !KnownLayout(fmt) || fmt->nb_streams != facts.streams.size())
        return false;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        const StreamFacts& s = facts.streams[i];
        if (st->codecpar->codec_type != s.type || st->codecpar->codec_id != s.codec ||
            av_cmp_q(st->time_base, s.timeBase) != 0)
            return false;
    }
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVStream* st = fmt->streams[i];
        const StreamFacts& s = facts.streams[i];
        if (avcodec_parameters_copy(st->codecpar, s.par.get()) < 0) return false;
        st->avg_frame_rate = s.avgRate;
        st->r_frame_rate = s.realRate;
        st->start_time = s.start;
        st->duration = s.duration;
        st->nb_frames = s.frames;
    }
    fmt->start_time = facts.start;
    fmt->duration = facts.duration;
    return true;
}

// The search through a file's first packets opens a decoder for every
// subtitle stream its header lists, only to close it again: their
// parameters are all in the header, and the source never decodes them (a
// subtitle drawn into the picture has a reading of its own). The search
// may open only the decoders of the other streams; picture subtitles of
// Blu-ray discs, whose size only a decoder finds, keep theirs.
void KeepSearchFromSubtitleDecoders(AVFormatContext* fmt) {
    bool subtitles = false;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVCodecParameters* par = fmt->streams[i]->codecpar;
        subtitles = subtitles || (par->codec_type == AVMEDIA_TYPE_SUBTITLE && par->codec_id != AV_CODEC_ID_HDMV_PGS_SUBTITLE);
    }
    if (!subtitles) return;
    std::string allowed;
    void* it = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&it)) {
        if (!av_codec_is_decoder(codec)) continue;
        bool wanted = false;
        for (unsigned i = 0; i < fmt->nb_streams && !wanted; ++i) {
            const AVCodecParameters* par = fmt->streams[i]->codecpar;
            wanted = par->codec_id == codec->id &&
                     (par->codec_type != AVMEDIA_TYPE_SUBTITLE || par->codec_id == AV_CODEC_ID_HDMV_PGS_SUBTITLE);
        }
        if (wanted) allowed += (allowed.empty() ? "" : ",") + std::string(codec->name);
    }
    // An empty list would allow every decoder; no decoder has this name.
    if (allowed.empty()) allowed = "-";
    av_freep(&fmt->codec_whitelist);
    fmt->codec_whitelist = av_strdup(allowed.c_str());
}

// Opens a local file (never a protocol: "a:b.mp4" is a file name here).
// With `known` (what an earlier opening of the same file learned) the
// search through the first packets is left out where it would find
// nothing new; without, *learned (when given) gets what this opening
// found, for later ones. On failure *error gets the library's own words.
InputPtr OpenInput(const std::string& path, std::string* error, const FileFacts* known = nullptr,
                   std::shared_ptr<FileFacts>* learned = nullptr) {
    AVFormatContext* raw = nullptr;
    std::string url = "file:" + path;
    int r = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (r < 0) {
        *error = AvError(r);
        return nullptr;
    }
    InputPtr fmt(raw);
    if (known && ApplyFacts(fmt.get(), *known)) return fmt;
    std::vector<int> formatsBefore;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) formatsBefore.push_back(fmt->streams[i]->codecpar->format);
    KeepSearchFromSubtitleDecoders(fmt.get());
    ++gStreamSearches;
    r = avformat_find_stream_info(fmt.get(), nullptr);
    if (r < 0) {
        *error = AvError(r);
        return nullptr;
    }
    if (learned) {
        FileId id;
        *learned = IdentifyFile(path, &id) ? KeepFacts(id, fmt.get(), formatsBefore) : nullptr;
    }
    return fmt;
}

// The reading of the program or transport stream opened last, and the
// decoder that counted its pictures: the file's next opening (the
// conversion after the examination) takes them over, where it would
// otherwise search the file again, with a decoder per stream, and open
// another video decoder. One file only: the next one parked replaces it.
struct Parked {
    FileId id;
    InputPtr fmt;
    CodecContextPtr dec;  // flushed; threads as OpenDecoder(st, true, 0) sets them
};
std::mutex gParkLock;
Parked gParked;

void Park(const std::string& path, InputPtr fmt, CodecContextPtr dec) {
    FileId id;
    if (!fmt || !(fmt->ctx_flags & AVFMTCTX_NOHEADER) || !IdentifyFile(path, &id)) return;
    Parked old;  // closed outside the lock
    std::lock_guard<std::mutex> g(gParkLock);
    old = std::move(gParked);
    gParked = Parked{id, std::move(fmt), std::move(dec)};
}

// The parked reading of the file at path, taken back to its first byte
// (*dec gets the parked decoder); null when there is none.
InputPtr TakeParked(const std::string& path, CodecContextPtr* dec) {
    FileId id;
    if (!IdentifyFile(path, &id)) return nullptr;
    Parked p;
    {
        std::lock_guard<std::mutex> g(gParkLock);
        if (!gParked.fmt || !(gParked.id == id)) return nullptr;
        p = std::move(gParked);
        gParked = Parked{};
    }
    if (av_seek_frame(p.fmt.get(), -1, 0, AVSEEK_FLAG_BYTE) < 0) return nullptr;
    for (unsigned i = 0; i < p.fmt->nb_streams; ++i) p.fmt->streams[i]->discard = AVDISCARD_DEFAULT;
    *dec = std::move(p.dec);
    return std::move(p.fmt);
}

void KeepOnly(AVFormatContext* fmt, int index) {
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        fmt->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
}

// threads: whether the decoder may use threads; count: how many (0: the
// library's own choice). On failure *error names the step that failed and
// gives the library's own words.
CodecContextPtr OpenDecoder(const AVStream* st, bool threads, int count, std::string* error) {
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) {
        *error = std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id);
        return nullptr;
    }
    CodecContextPtr dec(avcodec_alloc_context3(codec));
    if (!dec) {
        *error = "allocating the decoder failed: " + AvError(AVERROR(ENOMEM));
        return nullptr;
    }
    int r = avcodec_parameters_to_context(dec.get(), st->codecpar);
    if (r < 0) {
        *error = "taking the stream's parameters failed: " + AvError(r);
        return nullptr;
    }
    dec->pkt_timebase = st->time_base;
    if (threads) {
        dec->thread_count = count;
        dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        const bool slicesOnly =
            (codec->capabilities & AV_CODEC_CAP_SLICE_THREADS) && !(codec->capabilities & AV_CODEC_CAP_FRAME_THREADS);
        if (count == 0 && slicesOnly) dec->thread_count = SliceDecoderThreads(av_cpu_count());
    }
    ++gDecoderOpens;
    r = avcodec_open2(dec.get(), codec, nullptr);
    if (r < 0) {
        *error = std::string("opening the ") + codec->name + " decoder failed: " + AvError(r);
        return nullptr;
    }
    if (dec->codec_type == AVMEDIA_TYPE_VIDEO) gLastVideoThreads = dec->thread_count;
    return dec;
}

// Failures of the decoding steps, for the caller to act on: a packet the
// decoder refused, or a picture or block of sound it could not make.
struct DecodeTrouble {
    bool failed = false;  // something failed since the caller last cleared this
    int64_t count = 0;    // failures in all
    int lastError = 0;    // the library's code of the latest one
    void Note(int code) {
        failed = true;
        ++count;
        lastError = code;
    }
};

// The one decoding loop: reads packets of stream `index` from `fmt` and
// feeds them to `dec` until the decoder hands out a frame (true; it is in
// `frame`) or has nothing more to give (false). When the file ends, or
// cannot be read further (cut short, gone), the decoder is drained and
// *drained set. A packet or frame that fails is noted in `trouble` and
// decoding goes on with the next packet. `beforeSend` sees each packet of
// the stream before it is sent; when it returns false the loop ends
// without a frame.
//
// `read` fetches the next packet as av_read_frame does (a reading shared
// with another stream hands out packets the other side read).
template <class Read, class BeforeSend>
bool ReceiveFrameFrom(Read&& read, AVCodecContext* dec, int index, AVPacket* pkt, AVFrame* frame, bool* drained,
                      DecodeTrouble* trouble, BeforeSend&& beforeSend) {
    for (;;) {
        int r = avcodec_receive_frame(dec, frame);
        if (r >= 0) return true;
        if (r == AVERROR_EOF) return false;
        if (r != AVERROR(EAGAIN)) trouble->Note(r);
        if (*drained) return false;
        r = read(pkt);
        if (r < 0) {
            *drained = true;
            r = avcodec_send_packet(dec, nullptr);
            if (r < 0 && r != AVERROR_EOF) trouble->Note(r);
            continue;
        }
        if (pkt->stream_index == index) {
            if (!beforeSend(pkt)) {
                av_packet_unref(pkt);
                return false;
            }
            r = avcodec_send_packet(dec, pkt);  // a packet refused is skipped
            if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF) trouble->Note(r);
        }
        av_packet_unref(pkt);
    }
}

template <class BeforeSend>
bool ReceiveFrame(AVFormatContext* fmt, AVCodecContext* dec, int index, AVPacket* pkt, AVFrame* frame, bool* drained,
                  DecodeTrouble* trouble, BeforeSend&& beforeSend) {
    return ReceiveFrameFrom([fmt](AVPacket* p) { return av_read_frame(fmt, p); }, dec, index, pkt, frame, drained,
                            trouble, beforeSend);
}

bool ReceiveFrame(AVFormatContext* fmt, AVCodecContext* dec, int index, AVPacket* pkt, AVFrame* frame, bool* drained,
                  DecodeTrouble* trouble) {
    return ReceiveFrame(fmt, dec, index, pkt, frame, drained, trouble, [](const AVPacket*) { return true; });
}

bool UsableVideo(const AVStream* st) {
    return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
           st->codecpar->width > 0 && st->codecpar->height > 0 && st->codecpar->format != AV_PIX_FMT_NONE &&
           avcodec_find_decoder(st->codecpar->codec_id);
}

bool UsableAudio(const AVStream* st) {
    return st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && st->codecpar->sample_rate > 0 &&
           st->codecpar->ch_layout.nb_channels > 0 && avcodec_find_decoder(st->codecpar->codec_id);
}

int FindVideoStream(AVFormatContext* fmt) {
    int best = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (best >= 0 && UsableVideo(fmt->streams[best])) return best;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (UsableVideo(fmt->streams[i])) return int(i);
    return -1;
}

// The stream of sound track `track` (numbered as in Tracks.h); 0 is the
// track the file marks as default, else its first one that decodes. -1
// when the file has no sound that decodes (track 0 only: the clip is then
// silent); a chosen track that does not exist or cannot be decoded throws,
// naming the file and the track.
int FindSoundStream(AVFormatContext* fmt, int track, const std::string& path) {
    const TrackList tracks = TracksOf(fmt);
    if (track == 0) {
        const int n = DefaultSoundTrack(tracks);
        return n > 0 ? tracks.sound[size_t(n - 1)].streamIndex : -1;
    }
    std::string why;
    const int n = track > 0 ? PickSoundTrack(tracks, std::to_string(track), &why) : 0;
    if (n <= 0) {
        if (track < 0) why = "there is no sound track " + std::to_string(track);
        throw ScriptError("DirectShowSource: \"" + path + "\": " + why + " (it has " +
                          std::to_string(tracks.sound.size()) + ")");
    }
    return tracks.sound[size_t(n - 1)].streamIndex;
}

// Where the picture and sound of a file really end, when its durations may
// be those of another stream. The container's duration reaches as far as
// its furthest stream, subtitle and data streams too, and some demuxers
// (Matroska) hand it to every stream that states no length of its own: a
// subtitle line at 63 s makes a 10 s film last 63 s. The packets from the
// last key frame to the end of the file tell: when a subtitle or data
// stream ends more than a second after every picture and sound stream, the
// durations are not the picture's and sound's, and the ends read here
// stand in for them. A file cut short behind a header that promises more
// has no such stream reaching past its pictures, and keeps its promised
// length (the pictures missing are then reported as such).
struct MediaEnds {
    bool moved = false;  // the demuxer was moved to read them
    bool stretched = false;
    // Ends in AV_TIME_BASE units on the file's clock; AV_NOPTS_VALUE when
    // no packet of the stream was seen near the end.
    int64_t video = AV_NOPTS_VALUE;
    int64_t audio = AV_NOPTS_VALUE;
    int64_t media = AV_NOPTS_VALUE;  // the furthest picture or sound stream
    // The latest time stamp of a video packet seen, in the video stream's
    // time base: the last picture the file holds.
    int64_t videoLast = AV_NOPTS_VALUE;
};

bool PictureOrSound(const AVStream* st) {
    return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO || st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

// Only files with a subtitle or data stream are read (attachments carry no
// packets); the others keep their durations without a look at their end.
// Leaves the demuxer anywhere.
MediaEnds ReadMediaEnds(AVFormatContext* fmt, int videoIndex, int audioIndex, int64_t start) {
    MediaEnds out;
    bool others = false;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVMediaType type = fmt->streams[i]->codecpar->codec_type;
        others = others || type == AVMEDIA_TYPE_SUBTITLE || type == AVMEDIA_TYPE_DATA;
    }
    const int seekStream = videoIndex >= 0 ? videoIndex : audioIndex;
    if (!others || seekStream < 0 || fmt->duration == AV_NOPTS_VALUE || fmt->duration <= 0) return out;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) fmt->streams[i]->discard = AVDISCARD_DEFAULT;
    const AVStream* ss = fmt->streams[seekStream];
    const int64_t target = av_rescale_q(start + fmt->duration, AV_TIME_BASE_Q, ss->time_base);
    out.moved = true;
    if (av_seek_frame(fmt, seekStream, target, AVSEEK_FLAG_BACKWARD) < 0) return out;
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return out;
    int64_t otherEnd = AV_NOPTS_VALUE;
    auto later = [](int64_t a, int64_t b) { return a == AV_NOPTS_VALUE ? b : std::max(a, b); };
    // A seek that lands far from the end must not turn into a read of the
    // whole file.
    constexpr int kMostPackets = 200000;
    for (int n = 0; n < kMostPackets && av_read_frame(fmt, pkt.get()) >= 0; ++n) {
        const AVStream* st = fmt->streams[pkt->stream_index];
        const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts != AV_NOPTS_VALUE) {
            const int64_t end = av_rescale_q(ts + std::max<int64_t>(pkt->duration, 0), st->time_base, AV_TIME_BASE_Q);
            if (PictureOrSound(st)) {
                out.media = later(out.media, end);
                if (pkt->stream_index == videoIndex) {
                    out.video = later(out.video, end);
                    out.videoLast = later(out.videoLast, ts);
                }
                if (pkt->stream_index == audioIndex) out.audio = later(out.audio, end);
            } else {
                otherEnd = later(otherEnd, end);
            }
        }
        av_packet_unref(pkt.get());
    }
    out.stretched = otherEnd != AV_NOPTS_VALUE && out.media != AV_NOPTS_VALUE && otherEnd > out.media + AV_TIME_BASE;
    // The ends found can only shorten the file: times that lie outside its
    // duration (a clock that wrapped or jumped near the end) are no guide.
    if (out.media <= start || out.media >= start + fmt->duration) out.stretched = false;
    return out;
}

// Sound encoders put a few samples before the first real one (priming:
// 1024 for AAC, about 1100 for MP3, up to 2112 as some write it), and some
// files shift every stream by that much to keep their time stamps from
// going below zero: the sound then starts up to one priming ahead of the
// first picture, which stood at time zero when the file was written. When
// the sound starts the file this little ahead of the picture (less than
// one frame and no more than one priming), the picture's start is the
// clip's start: its first picture is frame 0, and the sound ahead of it,
// the priming, is left out. Otherwise the file's start stays.
constexpr int64_t kMostPrimingSamples = 2112;

int64_t StartAfterPriming(const AVFormatContext* fmt, int videoIndex, int audioIndex, AVRational fps, int64_t start) {
    const AVStream* vs = fmt->streams[videoIndex];
    const AVStream* as = fmt->streams[audioIndex];
    const int rate = as->codecpar->sample_rate;
    if (vs->start_time == AV_NOPTS_VALUE || as->start_time == AV_NOPTS_VALUE || rate <= 0) return start;
    const int64_t video = av_rescale_q(vs->start_time, vs->time_base, AV_TIME_BASE_Q);
    const int64_t audio = av_rescale_q(as->start_time, as->time_base, AV_TIME_BASE_Q);
    if (audio != start || video <= audio) return start;
    const int64_t lead = video - audio;
    const int64_t frame = av_rescale_q(1, av_inv_q(fps), AV_TIME_BASE_Q);
    const int64_t priming = av_rescale(kMostPrimingSamples, AV_TIME_BASE, rate);
    return lead < frame && lead <= priming ? video : start;
}

// Packets read for one stream by the other stream's side of a shared
// reading, in the order read.
class PacketQueue {
public:
    bool Empty() const { return packets_.empty(); }
    int64_t Bytes() const { return bytes_; }
    // Takes the packet's data; false when no room could be had for it.
    bool Push(AVPacket* pkt) {
        PacketPtr held(av_packet_alloc());
        if (!held) return false;
        av_packet_move_ref(held.get(), pkt);
        bytes_ += held->size;
        packets_.push_back(std::move(held));
        return true;
    }
    bool Pop(AVPacket* pkt) {
        if (packets_.empty()) return false;
        bytes_ -= packets_.front()->size;
        av_packet_move_ref(pkt, packets_.front().get());
        packets_.pop_front();
        return true;
    }
    void Clear() {
        packets_.clear();
        bytes_ = 0;
    }

private:
    std::deque<PacketPtr> packets_;
    int64_t bytes_ = 0;
};

class FFmpegSource : public Clip {
public:
    // Reads the opener's options from the context and reports what it
    // found (aspect ratio, decoder set-up) into it.
    FFmpegSource(const std::string& path, int soundTrack, EvalContext& context);
    ~FFmpegSource() override;
    FramePtr GetFrame(int64_t n) override;
    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override;

private:
    // Video
    bool OpenVideo(std::string* error);
    void OpenVideoLate();
    void NoteVideoDecoder(bool opened, const std::string& error);
    void CheckVideoDecoder();
    void CountFrames(AVStream* st, int64_t fileDuration, MediaEnds* ends, bool* searched);
    int64_t CountPictures(int64_t estimate);
    int64_t CountPicturePackets(int64_t estimate);
    int64_t FirstPictureTime();
    void CloseVideo();
    bool DecodeVideo(FramePtr* frame, int64_t* index);
    FramePtr Substitute(const FramePtr& picture) const;
    FramePtr LostPicture();
    void SeekVideo(int64_t n);
    bool SeekAhead(int64_t reach, int64_t n, int64_t far) const;
    void StopIfAbandoned(int64_t n, bool started);
    void CatchUpDiscard(const AVPacket* pkt);
    FramePtr Conform(FramePtr frame);
    bool NextPicture();
    void PlanCorrections(AVStream* st, AVRational sar, int* darX, int* darY);
    PictureProbe ProbePictures(const PictureTraits& traits);
    // Audio. A sound that cannot be delivered throws ReadError; once it
    // failed, every later read fails the same way.
    void OpenAudio();
    void CloseAudio();
    [[noreturn]] void FailAudio(const std::string& step);
    bool DecodeAudio();
    int ConvertAudio();
    void SeekAudio(int64_t sample);
    void Append(const int16_t* data, int64_t samples, int64_t position);
    void DropBefore(int64_t sample);
    int64_t FifoEnd() const { return fifoStart_ + int64_t(fifo_.size() - fifoOffset_) / info_.channels; }
    // Reading shared by picture and sound.
    int ReadVideoPacket(AVPacket* pkt);
    int ReadAudioPacket(AVPacket* pkt);
    void KeepReadStreams();
    void StopSharing();
    void StopSharingLocked();
    bool HoldFor(PacketQueue* queue, AVPacket* pkt);
    bool JumpsAway(int64_t n) const;
    void OpenOwnAudioInput(bool resume);
    void DropHeldVideo();

    std::string path_;
    // What this and earlier openings of the file learned (null: a file
    // whose layout needs a full search at every opening).
    std::shared_ptr<FileFacts> facts_;
    int64_t start_ = 0;  // the clip's start on the file's clock, AV_TIME_BASE units
    int videoIndex_ = -1;
    int audioIndex_ = -1;

    InputPtr vfmt_;
    CodecContextPtr vdec_;
    // The video is opened with the first picture asked for.
    bool videoOpenPending_ = false;
    bool videoMoved_ = false;  // the look at the first pictures moved vfmt_
    CodecContextPtr countDec_;   // the decoder that counted the pictures
    CodecContextPtr parkedDec_;  // taken over with a parked reading
    // Whether a decoder of the video opened during this opening (1), failed
    // to (-1, for videoTriedError_), or none was opened (0).
    int videoTried_ = 0;
    std::string videoTriedError_;
    PacketPtr vpkt_;
    AvFramePtr vframe_;
    AVRational vtb_{1, 1};
    int64_t vstart_ = 0;  // start_ in the video stream's time base
    bool vdrained_ = false;
    bool veof_ = false;
    FramePtr shown_;  // the picture for frames [shownIndex_, pendingIndex_)
    int64_t shownIndex_ = -1;
    int64_t shownEnd_ = -1;  // the frame after the last one shown_ lasts for by its own duration
    FramePtr pending_;  // the next decoded picture, not yet due
    int64_t pendingIndex_ = -1;
    int64_t pendingEnd_ = -1;
    // Set when pictures were lost to a failed decode right before pending_:
    // frames from here to pendingIndex_ - 1 have no picture of their own.
    int64_t pendingGapFrom_ = -1;
    int64_t lastIndex_ = -1;  // index of the picture decoded last
    int64_t lastEnd_ = -1;    // the frame after the picture decoded last, by its duration
    int64_t gapFrom_ = -1;    // the gap in front of the picture decoded last (-1: none)
    // vtrouble_.failed: a packet failed since the picture decoded last.
    DecodeTrouble vtrouble_;
    // Frames from here on are known to have no picture (the file ended
    // before them): they are answered at once, without seeking again.
    int64_t deadFrom_ = INT64_MAX;
    FramePtr lostBlack_;
    SwsPtr conform_;
    // The decoded pictures' size and format (the clip's before its
    // corrections) and the corrections, when the source needs any.
    int srcWidth_ = 0;
    int srcHeight_ = 0;
    AVPixelFormat srcFormat_ = AV_PIX_FMT_NONE;
    std::unique_ptr<PictureChain> chain_;
    AvFramePtr rawFrame_;  // a decoded picture on its way into chain_
    bool chainFed_ = false;  // the decoder's end was handed to chain_
    // Decoding towards a frame (see CatchUpDiscard): the frame asked for,
    // and the latest time stamp sent to the decoder that lies on or before
    // it.
    int64_t wanted_ = -1;
    int64_t newestSent_ = AV_NOPTS_VALUE;
    // A read given up on its way to frame exactFrom_ may have skipped
    // pictures before it: frames below it are then reached by a seek (-1:
    // no such gap). The reader's signal to give up reading.
    int64_t exactFrom_ = -1;
    std::function<bool()> stopVideo_;
    // The conversion shrinks the picture enough that the in-loop deblocking
    // of non-reference pictures can be left out (see DecodeHint.h).
    bool skipLoopFilter_ = false;
    // Decoding threads for the video (0: the library's own choice); more in
    // a conversion (see DecodeHint.h).
    int decoderThreads_ = 0;

    InputPtr afmt_;
    CodecContextPtr adec_;
    PacketPtr apkt_;
    AvFramePtr aframe_;
    SwrPtr swr_;
    AVChannelLayout swrInLayout_{};
    int swrInRate_ = 0;
    int swrInFormat_ = -1;
    bool aopened_ = false;
    bool aeof_ = false;
    bool adrained_ = false;
    DecodeTrouble atrouble_;
    bool adecoded_ = false;    // a block of sound was decoded since the decoder opened
    std::string audioError_;   // why the sound cannot be delivered (sticky)
    bool resync_ = true;
    std::vector<int16_t> fifo_;
    size_t fifoOffset_ = 0;  // values consumed at the front of fifo_
    int64_t fifoStart_ = 0;  // sample index of fifo_[fifoOffset_]
    int64_t validFrom_ = 0;  // reads from here on need no seek; before fifoStart_ is silence
    std::vector<int16_t> convert_;
    AVRational atb_{1, 1};  // the sound stream's time base

    // The reading shared by picture and sound (a conversion): vfmt_ reads
    // for both, and what one side reads for the other waits in its queue.
    // demuxLock_ guards vfmt_'s reading while it is shared, both queues and
    // the handover below; sharing_ is set once both sides may read.
    std::mutex demuxLock_;
    std::atomic<bool> sharing_{false};
    int64_t queueLimit_ = kReadOnceQueueBytes;
    PacketQueue forVideo_;
    PacketQueue forAudio_;
    // The last sound packet handed to the decoder from the shared reading:
    // a reading of its own resumes right after it.
    bool audioHanded_ = false;
    int64_t handedDts_ = AV_NOPTS_VALUE;
    int64_t handedPts_ = AV_NOPTS_VALUE;
    int64_t handedPos_ = -1;
    // The sound's own reading skips the packets up to the handed one.
    bool skipHanded_ = false;
};

FFmpegSource::FFmpegSource(const std::string& path, int soundTrack, EvalContext& context) : path_(path) {
    std::string error;
    FileId id;
    if (IdentifyFile(path, &id)) facts_ = LookUpFacts(id);
    std::shared_ptr<FileFacts> learned;
    if (facts_) vfmt_ = TakeParked(path, &parkedDec_);
    if (!vfmt_) vfmt_ = OpenInput(path, &error, facts_.get(), facts_ ? nullptr : &learned);
    if (!vfmt_) throw ScriptError("DirectShowSource: could not open \"" + path + "\": " + error);
    if (!facts_) facts_ = learned;
    start_ = vfmt_->start_time != AV_NOPTS_VALUE ? vfmt_->start_time : 0;
    videoIndex_ = FindVideoStream(vfmt_.get());
    audioIndex_ = FindSoundStream(vfmt_.get(), soundTrack, path);
    if (videoIndex_ < 0 && audioIndex_ < 0) {
        CloseVideo();
        throw ScriptError("DirectShowSource: \"" + path + "\" has no video or audio stream that can be decoded");
    }
    int64_t fileDuration = vfmt_->duration;  // AV_TIME_BASE units, may be unknown
    bool searched = false;  // the demuxer was moved to count the pictures
    MediaEnds ends;         // read once, with the video's length
    bool endsRead = false;
    // What an earlier opening of the file found for the same sound stream.
    Findings known;
    bool haveFindings = false;
    if (facts_) {
        std::lock_guard<std::mutex> g(gFactsLock);
        for (const Findings& f : facts_->findings)
            if (f.audioIndex == audioIndex_) {
                known = f;
                haveFindings = true;
            }
    }
    if (haveFindings) {
        ends.stretched = known.stretched;
        ends.audio = known.audioEnd;
        ends.media = known.mediaEnd;
        endsRead = true;
    }

    int darX = 0, darY = 0;
    if (videoIndex_ >= 0) {
        AVStream* st = vfmt_->streams[videoIndex_];
        vtb_ = st->time_base;
        info_.hasVideo = true;
        info_.width = st->codecpar->width;
        info_.height = st->codecpar->height;
        info_.pixelFormat = AVPixelFormat(st->codecpar->format);
        info_.colorSpace = st->codecpar->color_space;
        info_.colorRange = st->codecpar->color_range;
        AVRational fps = st->avg_frame_rate;
        if (fps.num <= 0 || fps.den <= 0 || av_q2d(fps) > 1000) fps = st->r_frame_rate;
        if (fps.num <= 0 || fps.den <= 0 || av_q2d(fps) > 1000) fps = AVRational{25, 1};
        av_reduce(&fps.num, &fps.den, fps.num, fps.den, INT32_MAX);
        info_.fps = fps;
        if (audioIndex_ >= 0) start_ = StartAfterPriming(vfmt_.get(), videoIndex_, audioIndex_, fps, start_);
        vstart_ = av_rescale_q(start_, AV_TIME_BASE_Q, vtb_);
        if (haveFindings) {
            vstart_ = known.vstart;
            info_.frameCount = known.frameCount;
        } else {
            CountFrames(st, fileDuration, &ends, &searched);
            endsRead = true;
            if (facts_) {
                Findings f;
                f.audioIndex = audioIndex_;
                f.vstart = vstart_;
                f.frameCount = info_.frameCount;
                f.stretched = ends.stretched;
                f.audioEnd = ends.audio;
                f.mediaEnd = ends.media;
                std::lock_guard<std::mutex> g(gFactsLock);
                facts_->findings.push_back(f);
            }
        }
        AVRational sar = av_guess_sample_aspect_ratio(vfmt_.get(), st, nullptr);
        if (sar.num > 0 && sar.den > 0) {
            av_reduce(&darX, &darY, int64_t(info_.width) * sar.num, int64_t(info_.height) * sar.den, 1 << 30);
        }
        PlanCorrections(st, sar, &darX, &darY);
    }
    // This source is now the one opened last: its findings replace those
    // of any source before it in the script.
    context.source = SourceReport{};
    context.source.darX = darX;
    context.source.darY = darY;
    context.source.tracks = TracksOf(vfmt_.get());
    context.source.tracksRead = true;

    if (audioIndex_ >= 0) {
        AVStream* st = vfmt_->streams[audioIndex_];
        info_.hasAudio = true;
        info_.sampleRate = st->codecpar->sample_rate;
        info_.channels = std::min(2, st->codecpar->ch_layout.nb_channels);
        AVRational rate{info_.sampleRate, 1};
        if (!endsRead) {
            ends = ReadMediaEnds(vfmt_.get(), videoIndex_, audioIndex_, start_);
            searched = searched || ends.moved;
            if (facts_) {
                Findings f;
                f.audioIndex = audioIndex_;
                f.stretched = ends.stretched;
                f.audioEnd = ends.audio;
                f.mediaEnd = ends.media;
                std::lock_guard<std::mutex> g(gFactsLock);
                facts_->findings.push_back(f);
            }
        }
        if (ends.stretched) {
            // The sound lasts to its own last packet; when none was near the
            // end it stopped before, and the pictures' end is as far as the
            // clip goes.
            const int64_t end = ends.audio != AV_NOPTS_VALUE && ends.audio > start_ ? ends.audio : ends.media;
            info_.sampleCount = av_rescale_q(end - start_, AV_TIME_BASE_Q, av_inv_q(rate));
        } else if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
            int64_t stStart = st->start_time != AV_NOPTS_VALUE ? st->start_time : av_rescale_q(start_, AV_TIME_BASE_Q, st->time_base);
            int64_t end = st->duration + stStart - av_rescale_q(start_, AV_TIME_BASE_Q, st->time_base);
            info_.sampleCount = av_rescale_q(end, st->time_base, av_inv_q(rate));
        } else if (fileDuration != AV_NOPTS_VALUE && fileDuration > 0) {
            // The file's duration runs from its own start, which may lie
            // before the clip's (sound priming left out).
            const int64_t fileStart = vfmt_->start_time != AV_NOPTS_VALUE ? vfmt_->start_time : 0;
            info_.sampleCount = av_rescale_q(fileDuration + fileStart - start_, AV_TIME_BASE_Q, av_inv_q(rate));
        } else if (info_.hasVideo) {
            info_.sampleCount = av_rescale_q(info_.frameCount, av_inv_q(info_.fps), av_inv_q(rate));
        }
        if (info_.sampleCount < 0) info_.sampleCount = 0;
    }

    if (info_.hasVideo) {
        const OpenOptions& options = context.options;
        skipLoopFilter_ = SkipsLoopFilter(vfmt_ ? vfmt_->streams[videoIndex_]->codecpar->codec_id : AV_CODEC_ID_NONE,
                                          info_.width, info_.height, options.outputWidth, options.outputHeight);
        if ((options.decoderThreads > 0 || options.decoderCores > 0) && vfmt_) {
            const AVCodec* codec = avcodec_find_decoder(vfmt_->streams[videoIndex_]->codecpar->codec_id);
            if (codec && (codec->capabilities & AV_CODEC_CAP_FRAME_THREADS))
                decoderThreads_ = options.decoderCores > 0
                                      ? ConversionDecoderThreads(true, options.decoderCores, srcWidth_, srcHeight_)
                                      : options.decoderThreads;
        }
        context.source.decoderThreads = decoderThreads_;
        context.source.skipsLoopFilter = skipLoopFilter_;
        stopVideo_ = options.stopVideo;
        // After the count the video starts over from a fresh open of the
        // file, at its true start. The decoder is opened with the first
        // picture asked for: a script opened only to be looked at (the
        // examination) never opens one.
        CheckVideoDecoder();
        if (searched || videoMoved_) Park(path_, std::move(vfmt_), std::move(countDec_));
        videoOpenPending_ = true;
        // Read forward together, picture and sound share the one reading,
        // opened here, before either side can ask for a packet.
        if (options.readOnce && info_.hasAudio) {
            std::string error;
            if (!vfmt_) vfmt_ = TakeParked(path_, &parkedDec_);
            if (!vfmt_) vfmt_ = OpenInput(path_, &error, facts_.get());
            if (vfmt_ && videoIndex_ < int(vfmt_->nb_streams) && audioIndex_ < int(vfmt_->nb_streams) &&
                UsableVideo(vfmt_->streams[videoIndex_]) && UsableAudio(vfmt_->streams[audioIndex_])) {
                queueLimit_ = options.readOnceQueueBytes > 0 ? options.readOnceQueueBytes : kReadOnceQueueBytes;
                sharing_ = true;
                KeepReadStreams();
            }
        }
    } else {
        CloseVideo();
    }
}

// The frame count of the video stream `st` (info_.fps set): from the
// stream's own count where the container keeps one, else from its length,
// corrected by the pictures found at the file's end. Reads the file's ends
// into *ends; *searched is set when the demuxer was moved.
void FFmpegSource::CountFrames(AVStream* st, int64_t fileDuration, MediaEnds* ends, bool* searched) {
    const AVRational fps = info_.fps;
    // A count taken from the duration is an estimate (program and
    // transport streams end their duration at the last time stamp, not
    // after the last picture), and the AVI header counts entries of its
    // index, empty ones too. Both are replaced by the index of the last
    // picture the file really holds, found at its end.
    const bool avi = std::strcmp(vfmt_->iformat->name, "avi") == 0;
    bool estimated = avi;
    if (avi) {
        // AVI stores no presentation times: with B-frames the decoder
        // hands the first picture out one frame late. The first picture
        // is frame 0 of such a file.
        const int64_t first = FirstPictureTime();
        if (first != AV_NOPTS_VALUE && first > vstart_ && first - vstart_ <= av_rescale_q(1, AVRational{1, 1}, vtb_))
            vstart_ = first;
        *searched = true;
    }
    *ends = ReadMediaEnds(vfmt_.get(), videoIndex_, audioIndex_, start_);
    *searched = *searched || ends->moved;
    if (st->nb_frames > 0) {
        info_.frameCount = st->nb_frames;
    } else if (ends->stretched && ends->video != AV_NOPTS_VALUE && ends->video > start_) {
        // The durations are a subtitle's: the count goes to where the
        // pictures end, and the pictures found there confirm it.
        info_.frameCount = av_rescale_q(ends->video - start_, AV_TIME_BASE_Q, av_inv_q(fps));
        estimated = true;
    } else if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        int64_t end = st->duration + (st->start_time != AV_NOPTS_VALUE ? st->start_time - vstart_ : 0);
        info_.frameCount = av_rescale_q(end, vtb_, av_inv_q(fps));
        estimated = true;
    } else if (fileDuration != AV_NOPTS_VALUE && fileDuration > 0) {
        const int64_t fileStart = vfmt_->start_time != AV_NOPTS_VALUE ? vfmt_->start_time : 0;
        info_.frameCount = av_rescale_q(fileDuration + fileStart - start_, AV_TIME_BASE_Q, av_inv_q(fps));
        estimated = true;
    } else {
        estimated = false;
        // No length anywhere: count the packets once (no decoding).
        PacketPtr pkt(av_packet_alloc());
        if (!pkt) {
            CloseVideo();
            throw ScriptError("DirectShowSource: cannot read \"" + path_ + "\": " + AvError(AVERROR(ENOMEM)));
        }
        KeepOnly(vfmt_.get(), videoIndex_);
        while (av_read_frame(vfmt_.get(), pkt.get()) >= 0) {
            if (pkt->stream_index == videoIndex_) ++info_.frameCount;
            av_packet_unref(pkt.get());
        }
        // Back to the start; a file that cannot go back is opened afresh.
        if (av_seek_frame(vfmt_.get(), -1, INT64_MIN, AVSEEK_FLAG_BACKWARD) < 0) *searched = true;
    }
    if (estimated) {
        // Where every packet carries the time its picture is shown at, the
        // packets at the end tell the last picture without decoding them.
        int64_t counted = 0;
        if (!KnownLayout(vfmt_.get())) {
            counted = CountPictures(info_.frameCount);
        } else if (ends->videoLast != AV_NOPTS_VALUE && ends->videoLast >= vstart_) {
            // The reading of the file's end saw the last video packets.
            counted = av_rescale_q(ends->videoLast - vstart_, vtb_, av_inv_q(fps)) + 1;
        } else {
            counted = CountPicturePackets(info_.frameCount);
        }
        // An estimate misses a few frames at most. A larger difference
        // means time stamps that jump (wraps, joined recordings) or a
        // file cut short behind a header that promises more: the
        // estimate stays then, so that missing pictures are reported as
        // such rather than the clip quietly getting shorter.
        const int64_t tolerance = int64_t(std::ceil(av_q2d(fps)));
        if (counted > 0 && std::llabs(counted - info_.frameCount) <= tolerance) info_.frameCount = counted;
        *searched = true;
    }
    if (info_.frameCount < 1) info_.frameCount = 1;
}

FFmpegSource::~FFmpegSource() {
    CloseVideo();
    CloseAudio();
}

bool FFmpegSource::OpenVideo(std::string* error) {
    if (!vfmt_) {
        DropHeldVideo();  // held for the reading before
        vfmt_ = TakeParked(path_, &parkedDec_);
        if (!vfmt_) vfmt_ = OpenInput(path_, error, facts_.get());
        if (!vfmt_) return false;
        if (videoIndex_ >= int(vfmt_->nb_streams) || !UsableVideo(vfmt_->streams[videoIndex_])) {
            *error = "the video stream has gone";
            return false;
        }
    }
    KeepReadStreams();
    // The decoder that counted the pictures of the file's earlier opening
    // is the one this would open: same stream, same threads.
    if (parkedDec_ && decoderThreads_ == 0 && parkedDec_->codec_id == vfmt_->streams[videoIndex_]->codecpar->codec_id)
        vdec_ = std::move(parkedDec_);
    else
        vdec_ = OpenDecoder(vfmt_->streams[videoIndex_], true, decoderThreads_, error);
    parkedDec_.reset();
    if (!vdec_) return false;
    if (skipLoopFilter_) vdec_->skip_loop_filter = AVDISCARD_NONREF;
    vpkt_.reset(av_packet_alloc());
    vframe_.reset(av_frame_alloc());
    if (!vpkt_ || !vframe_) {
        *error = AvError(AVERROR(ENOMEM));
        return false;
    }
    if (chain_) {
        rawFrame_.reset(av_frame_alloc());
        if (!rawFrame_) {
            *error = AvError(AVERROR(ENOMEM));
            return false;
        }
        if (!chain_->Reset(error)) return false;
        chainFed_ = false;
    }
    vdrained_ = veof_ = false;
    shown_.reset();
    pending_.reset();
    shownIndex_ = pendingIndex_ = lastIndex_ = -1;
    shownEnd_ = pendingEnd_ = pendingGapFrom_ = lastEnd_ = gapFrom_ = -1;
    vtrouble_ = DecodeTrouble{};
    newestSent_ = AV_NOPTS_VALUE;
    return true;
}

void FFmpegSource::CloseVideo() {
    vdec_.reset();
    vfmt_.reset();
    vpkt_.reset();
    vframe_.reset();
    rawFrame_.reset();
    conform_.reset();
}

// The number of frames up to and including the last picture the file
// holds, placed on the time line as DecodeVideo places it; 0 when it cannot
// be found. Seeks to a little before the estimated end and decodes to the
// end, going further back when no picture turns up there (a file shorter
// than its estimate). Leaves the demuxer anywhere.
int64_t FFmpegSource::CountPictures(int64_t estimate) {
    ++gCountDecodes;
    std::string error;
    CodecContextPtr dec = OpenDecoder(vfmt_->streams[videoIndex_], true, 0, &error);
    NoteVideoDecoder(dec != nullptr, error);
    PacketPtr pkt(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    if (!dec || !pkt || !frame) return 0;  // the count stays an estimate
    int64_t last = -1;
    KeepOnly(vfmt_.get(), videoIndex_);
    const AVRational frameTime = av_inv_q(info_.fps);
    const int64_t end = vstart_ + av_rescale_q(estimate, frameTime, vtb_);
    static const int64_t kBackSeconds[] = {1, 5, 30, 120, 600};
    for (int64_t back : kBackSeconds) {
        const int64_t target = std::max(vstart_, end - av_rescale_q(back, AVRational{1, 1}, vtb_));
        if (av_seek_frame(vfmt_.get(), videoIndex_, target, AVSEEK_FLAG_BACKWARD) < 0) break;
        avcodec_flush_buffers(dec.get());
        bool drained = false;
        DecodeTrouble trouble;  // a picture that fails is simply not counted
        int64_t previous = -1;
        while (ReceiveFrame(vfmt_.get(), dec.get(), videoIndex_, pkt.get(), frame.get(), &drained, &trouble)) {
            // A picture without a time stamp (the last one of an MPEG
            // stream, say) follows the one before, as in DecodeVideo.
            const int64_t ts = frame->best_effort_timestamp;
            int64_t idx = ts != AV_NOPTS_VALUE ? av_rescale_q(ts - vstart_, vtb_, frameTime)
                                               : previous >= 0 ? previous + 1 : -1;
            if (idx >= 0) previous = idx;
            last = std::max(last, idx);
            av_frame_unref(frame.get());
        }
        if (last >= 0 || target <= vstart_) break;
    }
    // Kept for the video of this file's next opening (see Park).
    avcodec_flush_buffers(dec.get());
    dec->skip_frame = AVDISCARD_DEFAULT;
    countDec_ = std::move(dec);
    return last + 1;
}

// The number of frames up to and including the last picture the file
// holds, from the time stamps of the video packets at its end (no
// decoding: every packet of the formats this serves carries the time its
// picture is shown at); 0 when none is found. Seeks as CountPictures does.
// Leaves the demuxer anywhere.
int64_t FFmpegSource::CountPicturePackets(int64_t estimate) {
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return 0;
    KeepOnly(vfmt_.get(), videoIndex_);
    const AVRational frameTime = av_inv_q(info_.fps);
    const int64_t end = vstart_ + av_rescale_q(estimate, frameTime, vtb_);
    int64_t last = AV_NOPTS_VALUE;
    static const int64_t kBackSeconds[] = {1, 5, 30, 120, 600};
    for (int64_t back : kBackSeconds) {
        const int64_t target = std::max(vstart_, end - av_rescale_q(back, AVRational{1, 1}, vtb_));
        if (av_seek_frame(vfmt_.get(), videoIndex_, target, AVSEEK_FLAG_BACKWARD) < 0) break;
        while (av_read_frame(vfmt_.get(), pkt.get()) >= 0) {
            if (pkt->stream_index == videoIndex_ && pkt->pts != AV_NOPTS_VALUE)
                last = last == AV_NOPTS_VALUE ? pkt->pts : std::max(last, pkt->pts);
            av_packet_unref(pkt.get());
        }
        if (last != AV_NOPTS_VALUE || target <= vstart_) break;
    }
    if (last == AV_NOPTS_VALUE || last < vstart_) return 0;
    return av_rescale_q(last - vstart_, vtb_, frameTime) + 1;
}

// The time stamp of the first picture decoded from where the demuxer
// stands; AV_NOPTS_VALUE when none comes.
int64_t FFmpegSource::FirstPictureTime() {
    std::string error;
    CodecContextPtr dec = OpenDecoder(vfmt_->streams[videoIndex_], false, 0, &error);
    NoteVideoDecoder(dec != nullptr, error);
    PacketPtr pkt(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    if (!dec || !pkt || !frame) return AV_NOPTS_VALUE;
    KeepOnly(vfmt_.get(), videoIndex_);
    bool drained = false;
    DecodeTrouble trouble;
    int packets = 0;  // a thousand packets without a picture: none comes
    const bool got = ReceiveFrame(vfmt_.get(), dec.get(), videoIndex_, pkt.get(), frame.get(), &drained, &trouble,
                                  [&](const AVPacket*) { return packets++ < 1000; });
    return got ? frame->best_effort_timestamp : AV_NOPTS_VALUE;
}

// Makes a decoded picture match the clip's size and format (streams may
// change either midway; the clip promises one).
FramePtr FFmpegSource::Conform(FramePtr frame) {
    if (frame->width == srcWidth_ && frame->height == srcHeight_ && frame->format == srcFormat_) return frame;
    // sws_getCachedContext frees the context it is given when it cannot
    // reuse it, also when it fails.
    conform_.reset(sws_getCachedContext(conform_.release(), frame->width, frame->height, AVPixelFormat(frame->format),
                                        srcWidth_, srcHeight_, srcFormat_, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!conform_) {
        FramePtr black = BlackFrame(srcWidth_, srcHeight_, srcFormat_);
        if (black) black->flags |= AV_FRAME_FLAG_CORRUPT;  // the picture is lost
        return black;
    }
    FramePtr out = NewFrame(srcWidth_, srcHeight_, srcFormat_);
    if (!out) return nullptr;
    if (sws_scale(conform_.get(), frame->data, frame->linesize, 0, frame->height, out->data, out->linesize) <= 0) {
        FramePtr black = BlackFrame(srcWidth_, srcHeight_, srcFormat_);
        if (black) black->flags |= AV_FRAME_FLAG_CORRUPT;
        return black;
    }
    av_frame_copy_props(out.get(), frame.get());
    out->best_effort_timestamp = frame->best_effort_timestamp;
    return out;
}

// The next picture for the clip, in vframe_: straight from the decoder, or
// through the source's corrections. False at the end.
bool FFmpegSource::NextPicture() {
    // Pictures that lean on their neighbours (deinterlacing, field
    // matching) need every picture before the wanted one decoded.
    auto beforeSend = [this](const AVPacket* pkt) {
        if (!chain_ || !chain_->Temporal()) CatchUpDiscard(pkt);
        return true;
    };
    auto read = [this](AVPacket* p) { return ReadVideoPacket(p); };
    if (!chain_)
        return ReceiveFrameFrom(read, vdec_.get(), videoIndex_, vpkt_.get(), vframe_.get(), &vdrained_, &vtrouble_,
                                beforeSend);
    for (;;) {
        std::string error;
        const int got = chain_->Pull(vframe_.get(), &error);
        if (got > 0) {
            AVFrame* f = vframe_.get();
            const AVRational tb = chain_->OutputTimeBase();
            if (av_cmp_q(tb, vtb_) != 0) {
                if (f->pts != AV_NOPTS_VALUE) f->pts = av_rescale_q(f->pts, tb, vtb_);
                f->pkt_duration = 0;
            }
            f->best_effort_timestamp = f->pts;
            return true;
        }
        if (got < 0) {
            if (!error.empty()) EngineMessage("DirectShowSource: \"" + path_ + "\": " + error);
            return false;
        }
        if (chainFed_) return false;
        if (ReceiveFrameFrom(read, vdec_.get(), videoIndex_, vpkt_.get(), rawFrame_.get(), &vdrained_, &vtrouble_,
                             beforeSend)) {
            rawFrame_->pts = rawFrame_->best_effort_timestamp;
            AVFrame* copy = av_frame_alloc();
            if (!copy) return false;
            av_frame_move_ref(copy, rawFrame_.get());
            FramePtr picture = Conform(WrapFrame(copy));
            if (!picture) return false;
            if (!chain_->Push(picture.get(), &error)) {
                EngineMessage("DirectShowSource: \"" + path_ + "\": " + error);
                return false;
            }
        } else {
            chainFed_ = true;
            if (!chain_->Push(nullptr, &error)) {
                EngineMessage("DirectShowSource: \"" + path_ + "\": " + error);
                return false;
            }
        }
    }
}

// The corrections the source's pictures need (see PictureChain.h); the
// clip then tells the corrected pictures' size, format, rate and length,
// and the aspect ratio they are shown at.
void FFmpegSource::PlanCorrections(AVStream* st, AVRational sar, int* darX, int* darY) {
    srcWidth_ = info_.width;
    srcHeight_ = info_.height;
    srcFormat_ = info_.pixelFormat;
    PictureTraits t;
    t.width = info_.width;
    t.height = info_.height;
    t.format = info_.pixelFormat;
    t.fps = info_.fps;
    t.sar = sar;
    size_t size = 0;
    if (const uint8_t* m = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size); m && size >= sizeof t.matrix) {
        t.hasMatrix = true;
        std::memcpy(t.matrix, m, sizeof t.matrix);
    }
    const AVCodecParameters* par = st->codecpar;
    t.fieldOrder = par->field_order;
    t.transfer = par->color_trc;
    t.primaries = par->color_primaries;
    t.colorSpace = par->color_space;
    t.colorRange = par->color_range;
    if (const uint8_t* d = av_stream_get_side_data(st, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &size);
        d && size >= sizeof(AVContentLightMetadata))
        t.maxCll = reinterpret_cast<const AVContentLightMetadata*>(d)->MaxCLL;
    if (const uint8_t* d = av_stream_get_side_data(st, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &size);
        d && size >= sizeof(AVMasteringDisplayMetadata)) {
        const auto* md = reinterpret_cast<const AVMasteringDisplayMetadata*>(d);
        if (md->has_luminance && md->max_luminance.den > 0) t.masteringPeak = std::max(0.0, av_q2d(md->max_luminance));
    }
    PictureProbe probe;
    const bool probed = NeedsProbe(t);
    if (probed) {
        bool known = false;
        if (facts_) {
            std::lock_guard<std::mutex> g(gFactsLock);
            if ((known = facts_->probed)) probe = facts_->probe;
        }
        if (!known) {
            probe = ProbePictures(t);
            if (facts_) {
                std::lock_guard<std::mutex> g(gFactsLock);
                facts_->probe = probe;
                facts_->probed = true;
            }
        }
    }
    const PicturePlan plan = PlanPictures(t, probed ? &probe : nullptr);
    for (const std::string& note : plan.notes) EngineMessage("DirectShowSource: \"" + path_ + "\": " + note);
    if (!plan.NeedsGraph()) return;
    chain_ = std::make_unique<PictureChain>(plan, t, vtb_);
    std::string error;
    if (!chain_->Reset(&error)) {
        // The pictures are still good to show as they are stored.
        EngineMessage("DirectShowSource: \"" + path_ + "\": pictures left uncorrected: " + error);
        chain_.reset();
        return;
    }
    info_.width = chain_->Width();
    info_.height = chain_->Height();
    info_.pixelFormat = chain_->Format();
    if (plan.toneMap != ToneMap::None) {
        info_.colorSpace = AVCOL_SPC_BT709;
        info_.colorRange = AVCOL_RANGE_MPEG;
    }
    info_.fps = PlannedRate(plan, info_.fps);
    info_.frameCount = PlannedCount(plan, info_.frameCount);
    if (plan.orientation.SwapsSides()) std::swap(*darX, *darY);
}

// A look at the first pictures of the source, from a reading of its own.
// Program and transport streams, whose every opening searches the file
// (with a decoder per stream), are looked at through the source's reading,
// taken back to its first byte; the video then starts from a fresh opening.
PictureProbe FFmpegSource::ProbePictures(const PictureTraits& traits) {
    PictureProber prober(traits);
    std::string error;
    InputPtr own;
    AVFormatContext* in = nullptr;
    if (vfmt_ && (vfmt_->ctx_flags & AVFMTCTX_NOHEADER) && av_seek_frame(vfmt_.get(), -1, 0, AVSEEK_FLAG_BYTE) >= 0) {
        in = vfmt_.get();
        videoMoved_ = true;
    } else {
        own = OpenInput(path_, &error, facts_.get());
        in = own.get();
    }
    if (!in || videoIndex_ >= int(in->nb_streams)) return prober.Result();
    KeepOnly(in, videoIndex_);
    CodecContextPtr dec = OpenDecoder(in->streams[videoIndex_], true, 0, &error);
    NoteVideoDecoder(dec != nullptr, error);
    PacketPtr pkt(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    if (!dec || !pkt || !frame) return prober.Result();
    bool drained = false;
    DecodeTrouble trouble;
    int packets = 0;  // give up on a stream whose pictures do not come
    while (!prober.Done()) {
        if (!ReceiveFrame(in, dec.get(), videoIndex_, pkt.get(), frame.get(), &drained, &trouble,
                          [&](const AVPacket*) { return packets++ < 2000; }))
            break;
        prober.Add(frame.get());
        av_frame_unref(frame.get());
    }
    return prober.Result();
}

// The next decoded picture and its frame index. False at the end.
bool FFmpegSource::DecodeVideo(FramePtr* frame, int64_t* index) {
    if (!vdec_ || veof_) return false;
    // A packet that fails is skipped; decoding goes on with the next.
    const bool got = NextPicture();
    if (!got) {
        // The end, or a file that cannot be read further (cut short, gone):
        // what was not decoded by now has no picture.
        veof_ = true;
        return false;
    }
    int64_t ts = vframe_->best_effort_timestamp;
    int64_t idx = ts == AV_NOPTS_VALUE ? lastIndex_ + 1 : av_rescale_q(ts - vstart_, vtb_, av_inv_q(info_.fps));
    // Time stamps that run backwards or leap ahead by more than ten seconds
    // (broken files, wraps, stream discontinuities) continue the count
    // instead.
    if (lastIndex_ >= 0 && (idx < lastIndex_ || idx > lastIndex_ + 10 * av_q2d(info_.fps) + 1)) idx = lastIndex_ + 1;
    // A picture stands for the frames up to its successor; the last one of
    // the stream for as long as its own duration says.
    int64_t duration = vframe_->pkt_duration;
    int64_t end = idx + 1;
    if (ts != AV_NOPTS_VALUE && duration > 0)
        end = std::max(end, av_rescale_q(ts + duration - vstart_, vtb_, av_inv_q(info_.fps)));
    // Pictures lost to a failed decode leave their frames without a
    // picture; at the very start the first picture stands for them.
    gapFrom_ = vtrouble_.failed && lastIndex_ >= 0 && idx > lastIndex_ + 1 ? lastIndex_ + 1 : -1;
    vtrouble_.failed = false;
    lastIndex_ = idx;
    lastEnd_ = end;
    AVFrame* copy = av_frame_alloc();
    if (!copy) return false;
    av_frame_move_ref(copy, vframe_.get());
    // Only the engine's stand-ins carry the corrupt mark: a picture the
    // decoder concealed is still the picture of its frame.
    copy->flags &= ~AV_FRAME_FLAG_CORRUPT;
    *frame = chain_ ? WrapFrame(copy) : Conform(WrapFrame(copy));
    *index = idx;
    return *frame != nullptr;
}

void FFmpegSource::SeekVideo(int64_t n) {
    AVRational frameTime = av_inv_q(info_.fps);
    // Corrections that look at neighbouring pictures start a few frames
    // early, so that frame n sees the same neighbours as in a reading from
    // the start.
    const int64_t lead = chain_ ? chain_->LeadFrames() : 0;
    int64_t target = vstart_ + av_rescale_q(std::max<int64_t>(0, n - lead), frameTime, vtb_);
    static const int64_t kBackoffSeconds[] = {0, 1, 3, 10, 30, 120};
    for (int64_t back : kBackoffSeconds) {
        int64_t ts = target - av_rescale_q(back, AVRational{1, 1}, vtb_);
        if (ts < vstart_ && back) ts = vstart_;
        ++gVideoSeeks;
        if (av_seek_frame(vfmt_.get(), videoIndex_, ts, AVSEEK_FLAG_BACKWARD) < 0) {
            // Not seekable: start over from the beginning. A file that no
            // longer opens has no more pictures (each one is then reported
            // as one that could not be read).
            CloseVideo();
            std::string error;
            if (!OpenVideo(&error)) CloseVideo();
            return;
        }
        avcodec_flush_buffers(vdec_.get());
        DropHeldVideo();
        if (chain_) {
            // The corrections start afresh from the new place.
            std::string error;
            if (!chain_->Reset(&error)) EngineMessage("DirectShowSource: \"" + path_ + "\": " + error);
            chainFed_ = false;
        }
        newestSent_ = AV_NOPTS_VALUE;
        exactFrom_ = -1;
        vdrained_ = veof_ = false;
        shown_.reset();
        pending_.reset();
        shownIndex_ = pendingIndex_ = lastIndex_ = -1;
        shownEnd_ = pendingEnd_ = pendingGapFrom_ = lastEnd_ = gapFrom_ = -1;
        vtrouble_.failed = false;
        if (!DecodeVideo(&pending_, &pendingIndex_)) {
            // Nothing decodes from the key frame before n on: the file ends
            // before n.
            if (veof_) deadFrom_ = std::min(deadFrom_, n);
            return;
        }
        pendingEnd_ = lastEnd_;
        pendingGapFrom_ = gapFrom_;
        if (pendingIndex_ <= n || ts <= vstart_) return;
    }
}

// Whether frame n, ahead of reach (the picture decoded furthest), is
// better reached by a seek than by decoding on. Decoding on is exact (the
// decoder's state is that of a reading from the start) and, while n lies
// before the next key frame, never longer than a seek to the key frame at
// or before reach: the file's index tells where that key frame is. A key
// frame more than a few frames past reach makes the seek worth it; so does
// a distance of four times `far`, in case the index misses key frames.
// Files without an index, and MPEG program and transport streams (whose
// index only notes where reading has been, not key frames), seek when n is
// more than `far` ahead.
bool FFmpegSource::SeekAhead(int64_t reach, int64_t n, int64_t far) const {
    constexpr int64_t kSeekCost = 8;  // frames a seek's flush and restart are worth
    if (n <= reach + kSeekCost) return false;
    if (n > reach + 4 * far) return true;
    const AVIndexEntry* key = nullptr;
    if (!(vfmt_->iformat->flags & AVFMT_TS_DISCONT)) {
        AVStream* st = vfmt_->streams[videoIndex_];
        const int64_t target = vstart_ + av_rescale_q(n, av_inv_q(info_.fps), vtb_);
        key = avformat_index_get_entry_from_timestamp(st, target, AVSEEK_FLAG_BACKWARD);
    }
    if (!key || !(key->flags & AVINDEX_KEYFRAME)) return n > reach + far;
    return av_rescale_q(key->timestamp - vstart_, vtb_, av_inv_q(info_.fps)) > reach + kSeekCost;
}

// Gives up the read of frame n when the reader raised its signal. Once
// decoding towards n began (`started`), pictures skipped on the way (see
// CatchUpDiscard) lie before n: frames before n need a seek from then on.
void FFmpegSource::StopIfAbandoned(int64_t n, bool started) {
    if (!stopVideo_ || !stopVideo_()) return;
    if (started) exactFrom_ = std::max(exactFrom_, n);
    throw ReadAbandoned("DirectShowSource: the read of frame " + std::to_string(n) + " was given up");
}

// Decoding towards frame wanted_ (after a seek, or on a jump forward), the
// pictures in between are never shown. A picture that comes before another
// one already sent to the decoder, which itself lies on or before wanted_,
// can only be shown for frames before that one: such a picture is skipped
// when no other picture refers to it (the codec knows: B-frames and the
// like). Reference pictures are always decoded in full, so the picture
// delivered for wanted_ is exactly the one a decode from the start gives.
void FFmpegSource::CatchUpDiscard(const AVPacket* pkt) {
    AVDiscard discard = AVDISCARD_DEFAULT;
    const int64_t pts = pkt->pts;
    if (pts != AV_NOPTS_VALUE && wanted_ >= 0) {
        // Reordering spans a few frames; a time stamp further back than a
        // second is a jump of the stream's clock, whose pictures DecodeVideo
        // places by counting: never skipped.
        const int64_t reorder = av_rescale_q(1, AVRational{1, 1}, vtb_);
        if (newestSent_ != AV_NOPTS_VALUE && pts < newestSent_ && newestSent_ - pts <= reorder) {
            discard = AVDISCARD_NONREF;
        } else if (av_rescale_q(pts - vstart_, vtb_, av_inv_q(info_.fps)) <= wanted_ &&
                   (newestSent_ == AV_NOPTS_VALUE || pts > newestSent_)) {
            newestSent_ = pts;
        }
    }
    vdec_->skip_frame = discard;
}

FramePtr FFmpegSource::GetFrame(int64_t n) {
    if (!info_.hasVideo) return nullptr;
    if (videoOpenPending_) OpenVideoLate();
    n = std::clamp<int64_t>(n, 0, info_.frameCount - 1);
    if (sharing_ && JumpsAway(n)) StopSharing();
    if (n >= deadFrom_) return LostPicture();
    int64_t threshold = std::max<int64_t>(100, int64_t(av_q2d(info_.fps) * 5));
    int64_t reach = std::max(shown_ ? shownIndex_ : 0, pending_ ? pendingIndex_ : 0);
    // Nothing in hand at the end of the file (a seek past its data): any
    // earlier frame needs a seek back.
    const bool empty = !shown_ && !pending_ && veof_;
    StopIfAbandoned(n, false);
    wanted_ = n;
    if (vfmt_ && (empty || (shown_ && n < shownIndex_) || n < exactFrom_ || SeekAhead(reach, n, threshold)))
        SeekVideo(n);
    for (;;) {
        if (pending_ && pendingIndex_ <= n) {
            shown_ = std::move(pending_);
            shownIndex_ = pendingIndex_;
            shownEnd_ = pendingEnd_;
            pending_.reset();
            continue;
        }
        if (pending_) break;
        StopIfAbandoned(n, true);
        if (!DecodeVideo(&pending_, &pendingIndex_)) {
            pending_.reset();
            break;
        }
        pendingEnd_ = lastEnd_;
        pendingGapFrom_ = gapFrom_;
    }
    exactFrom_ = -1;  // every picture up to n is in
    if (!pending_ && veof_) {
        // The file ended: no frame from the end of the last picture on has
        // a picture, nor, without any picture, from where decoding began.
        deadFrom_ = std::min(deadFrom_, shown_ ? std::max(shownEnd_, shownIndex_ + 1) : n);
    }
    if (shown_) {
        // Frame n lies after shown_: in a gap that failed to decode, or past
        // the last picture the file gave.
        const bool lost = pending_ ? pendingGapFrom_ >= 0 && n >= pendingGapFrom_ : n >= shownEnd_;
        return lost ? Substitute(shown_) : shown_;
    }
    if (pending_) return pending_;  // frames before the first picture show it
    return LostPicture();
}

// Opens the video's reading and decoder for the first picture asked for.
// A video that cannot be opened has no pictures: each frame is then one
// that could not be read, and the reason is told once.
void FFmpegSource::OpenVideoLate() {
    videoOpenPending_ = false;
    std::string error;
    if (!OpenVideo(&error)) {
        StopSharing();  // the sound must not read through what is closed here
        CloseVideo();
        EngineMessage("DirectShowSource: cannot decode the video of \"" + path_ + "\": " + error);
    }
}

void FFmpegSource::NoteVideoDecoder(bool opened, const std::string& error) {
    if (videoTried_ < 0) return;  // a failure stands
    videoTried_ = opened ? 1 : -1;
    if (!opened) videoTriedError_ = error;
}

// A video whose decoder exists but does not open is refused at opening,
// as a script that fails, not at its first picture: the examination then
// turns the file away. What shows that the decoder opens: one opened during
// this opening (to count or look at pictures), an earlier opening of the
// same file in this process, or a search of the file that had to decode
// its pictures to learn their format. A file with none of these gets one
// test opening (a single thread), whose outcome its later openings reuse.
void FFmpegSource::CheckVideoDecoder() {
    int known = videoTried_;
    std::string why = videoTriedError_;
    if (facts_) {
        std::lock_guard<std::mutex> g(gFactsLock);
        if (known == 0) {
            known = facts_->videoDecoder;
            why = facts_->videoDecoderError;
            if (known == 0 && videoIndex_ < int(facts_->streams.size()) &&
                facts_->streams[size_t(videoIndex_)].decodedInSearch)
                known = 1;
        }
    }
    if (known == 0) {
        CodecContextPtr dec = OpenDecoder(vfmt_->streams[videoIndex_], false, 0, &why);
        known = dec ? 1 : -1;
    }
    if (facts_) {
        std::lock_guard<std::mutex> g(gFactsLock);
        facts_->videoDecoder = known;
        facts_->videoDecoderError = known < 0 ? why : std::string();
    }
    if (known < 0) {
        CloseVideo();
        throw ScriptError("DirectShowSource: cannot decode the video of \"" + path_ + "\": " + why);
    }
}

// The stand-in for a frame without a picture: the last picture at hand, or
// black, marked as a substitute.
FramePtr FFmpegSource::LostPicture() {
    if (shown_) return Substitute(shown_);
    if (!lostBlack_) {
        lostBlack_ = BlackFrame(info_.width, info_.height, info_.pixelFormat);
        if (lostBlack_) lostBlack_->flags |= AV_FRAME_FLAG_CORRUPT;
    }
    return lostBlack_;
}

// The picture shown in place of one that could not be read: the same
// picture data, marked, so that a reader can tell and count it.
FramePtr FFmpegSource::Substitute(const FramePtr& picture) const {
    AVFrame* copy = av_frame_clone(picture.get());
    if (!copy) return nullptr;
    copy->flags |= AV_FRAME_FLAG_CORRUPT;
    return WrapFrame(copy);
}

// ---- audio ----

void FFmpegSource::OpenAudio() {
    aopened_ = true;
    std::string error;
    bool shared = false;
    {
        std::lock_guard<std::mutex> g(demuxLock_);
        if ((shared = sharing_)) {
            const AVStream* st = vfmt_->streams[audioIndex_];
            atb_ = st->time_base;
            adec_ = OpenDecoder(st, false, 0, &error);
        }
    }
    if (!shared) {
        OpenOwnAudioInput(false);
        adec_ = OpenDecoder(afmt_->streams[audioIndex_], false, 0, &error);
    }
    if (!adec_) FailAudio(error);
    apkt_.reset(av_packet_alloc());
    aframe_.reset(av_frame_alloc());
    if (!apkt_ || !aframe_) FailAudio(AvError(AVERROR(ENOMEM)));
    aeof_ = adrained_ = false;
    resync_ = true;
    atrouble_ = DecodeTrouble{};
    adecoded_ = false;
}

void FFmpegSource::CloseAudio() {
    adec_.reset();
    afmt_.reset();
    apkt_.reset();
    aframe_.reset();
    swr_.reset();
    av_channel_layout_uninit(&swrInLayout_);
    swrInFormat_ = -1;
    aopened_ = false;
}

// The sound track exists but cannot be delivered: handing out silence in
// its place would make a mute output that looks like a good one.
void FFmpegSource::FailAudio(const std::string& step) {
    CloseAudio();
    aopened_ = true;
    audioError_ = "DirectShowSource: the sound of \"" + path_ + "\" cannot be read: " + step;
    throw ReadError(audioError_);
}

void FFmpegSource::Append(const int16_t* data, int64_t samples, int64_t position) {
    const int ch = info_.channels;
    if (fifo_.size() == fifoOffset_) {
        fifo_.clear();
        fifoOffset_ = 0;
        fifoStart_ = position;
    } else if (position > FifoEnd()) {
        fifo_.resize(fifo_.size() + size_t(position - FifoEnd()) * ch, 0);  // a gap: silence
    } else if (position < FifoEnd()) {
        int64_t overlap = FifoEnd() - position;  // already have these: drop them
        if (overlap >= samples) return;
        data += overlap * ch;
        samples -= overlap;
    }
    fifo_.insert(fifo_.end(), data, data + samples * ch);
}

// Decodes one more block of audio into the queue. False at the end.
bool FFmpegSource::DecodeAudio() {
    if (!adec_ || aeof_) return false;
    for (;;) {
        if (!ReceiveFrameFrom([this](AVPacket* p) { return ReadAudioPacket(p); }, adec_.get(), audioIndex_, apkt_.get(),
                              aframe_.get(), &adrained_, &atrouble_, [](const AVPacket*) { return true; })) {
            aeof_ = true;
            // Packets there were, but not one of them gave sound.
            if (!adecoded_ && atrouble_.count > 0) FailAudio("decoding failed: " + AvError(atrouble_.lastError));
            return false;
        }
        if (aframe_->sample_rate <= 0) {
            // Sound without a rate cannot be placed or converted.
            atrouble_.Note(AVERROR_INVALIDDATA);
            av_frame_unref(aframe_.get());
            continue;
        }
        adecoded_ = true;
        const int64_t ts = aframe_->best_effort_timestamp;
        const int got = ConvertAudio();
        if (got <= 0) continue;  // the converter holds it for now
        int64_t position = FifoEnd();
        if (ts != AV_NOPTS_VALUE) {
            const AVRational tb = atb_;
            int64_t stamped = av_rescale_q(ts - av_rescale_q(start_, AV_TIME_BASE_Q, tb), tb,
                                           AVRational{1, info_.sampleRate});
            // Follow the time stamps at the start and after gaps or
            // overlaps of more than 100 ms; count samples otherwise, so
            // sequential audio stays sample-exact.
            // Leaps of more than ten seconds are discontinuities of the
            // stream, not gaps in the sound: counting goes on.
            int64_t drift = std::llabs(stamped - position);
            if (resync_ || (drift > info_.sampleRate / 10 && drift < int64_t(info_.sampleRate) * 10)) position = stamped;
        }
        resync_ = false;
        const int16_t* data = convert_.data();
        int64_t n = got;
        if (position < 0) {  // before the time line starts
            if (-position >= n) continue;
            data += -position * info_.channels;
            n += position;
            position = 0;
        }
        Append(data, n, position);
        return true;
    }
}

// Converts the decoded block in aframe_ into convert_ as 16-bit samples at
// the clip's rate and channel count, and releases the block. The number of
// samples converted (the converter may hold some back).
int FFmpegSource::ConvertAudio() {
    AVChannelLayout in{};
    int r = aframe_->ch_layout.nb_channels > 0 ? av_channel_layout_copy(&in, &aframe_->ch_layout) : 0;
    if (aframe_->ch_layout.nb_channels <= 0) av_channel_layout_default(&in, adec_->ch_layout.nb_channels);
    if (r >= 0 && in.order == AV_CHANNEL_ORDER_UNSPEC) {
        int n = in.nb_channels;
        av_channel_layout_uninit(&in);
        av_channel_layout_default(&in, n);
    }
    if (r >= 0 && (!swr_ || av_channel_layout_compare(&in, &swrInLayout_) != 0 || aframe_->sample_rate != swrInRate_ ||
                   aframe_->format != swrInFormat_)) {
        swr_.reset();
        AVChannelLayout out{};
        av_channel_layout_default(&out, info_.channels);
        SwrContext* raw = nullptr;
        r = swr_alloc_set_opts2(&raw, &out, AV_SAMPLE_FMT_S16, info_.sampleRate, &in, AVSampleFormat(aframe_->format),
                                aframe_->sample_rate, 0, nullptr);
        swr_.reset(raw);
        if (r >= 0) r = swr_init(swr_.get());
        av_channel_layout_uninit(&out);
        av_channel_layout_uninit(&swrInLayout_);
        if (r >= 0) r = av_channel_layout_copy(&swrInLayout_, &in);
        swrInRate_ = aframe_->sample_rate;
        swrInFormat_ = aframe_->format;
    }
    av_channel_layout_uninit(&in);
    if (r < 0) {
        swr_.reset();
        FailAudio("setting up the sound conversion failed: " + AvError(r));
    }
    int outMax = swr_get_out_samples(swr_.get(), aframe_->nb_samples);
    if (outMax < 0) outMax = aframe_->nb_samples * 2 + 256;
    convert_.resize(size_t(outMax) * info_.channels);
    uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(convert_.data())};
    const int got = swr_convert(swr_.get(), outPlanes, outMax, const_cast<const uint8_t**>(aframe_->extended_data),
                                aframe_->nb_samples);
    av_frame_unref(aframe_.get());
    if (got < 0) FailAudio("converting the sound failed: " + AvError(got));
    return got;
}

void FFmpegSource::SeekAudio(int64_t sample) {
    if (!afmt_) {
        // A jump of the sound: the shared reading cannot follow it, nor
        // are the packets held for the sound of any use.
        StopSharing();
        {
            std::lock_guard<std::mutex> g(demuxLock_);
            forAudio_.Clear();
        }
        audioHanded_ = false;
        OpenOwnAudioInput(false);
    }
    fifo_.clear();
    fifoOffset_ = 0;
    fifoStart_ = sample;
    validFrom_ = sample;
    AVRational tb = afmt_->streams[audioIndex_]->time_base;
    int64_t ts = av_rescale_q(start_, AV_TIME_BASE_Q, tb) + av_rescale_q(sample, AVRational{1, info_.sampleRate}, tb);
    if (av_seek_frame(afmt_.get(), audioIndex_, ts, AVSEEK_FLAG_BACKWARD) < 0) {
        // Not seekable: start over from the beginning and decode forward.
        CloseAudio();
        OpenAudio();
        fifoStart_ = validFrom_ = 0;
        return;
    }
    avcodec_flush_buffers(adec_.get());
    if (swr_) {
        // Forget what the converter holds.
        const int r = swr_init(swr_.get());
        if (r < 0) FailAudio("restarting the sound conversion failed: " + AvError(r));
    }
    aeof_ = adrained_ = false;
    resync_ = true;
}

void FFmpegSource::GetAudio(int16_t* buffer, int64_t start, int64_t count) {
    if (count <= 0) return;
    const int ch = info_.channels;
    std::memset(buffer, 0, size_t(count) * std::max(ch, 1) * sizeof(int16_t));
    if (!info_.hasAudio) return;
    int64_t from = std::max<int64_t>(start, 0);
    int64_t to = std::min(start + count, info_.sampleCount);
    if (from >= to) return;
    if (!audioError_.empty()) throw ReadError(audioError_);
    if (!aopened_) OpenAudio();
    if (!adec_) return;
    if (from < validFrom_ || from > FifoEnd() + int64_t(info_.sampleRate) * 5) SeekAudio(from);
    // Reads go forward: what lies before this read is dropped, also while
    // decoding towards it, so a long way there never piles up.
    DropBefore(from);
    while (FifoEnd() < to && DecodeAudio()) DropBefore(from);
    int64_t a = std::max(from, fifoStart_), b = std::min(to, FifoEnd());
    if (a < b)
        std::memcpy(buffer + (a - start) * ch, fifo_.data() + fifoOffset_ + (a - fifoStart_) * ch,
                    size_t(b - a) * ch * sizeof(int16_t));
    validFrom_ = from;
}

void FFmpegSource::DropBefore(int64_t sample) {
    const int ch = info_.channels;
    int64_t drop = std::min(sample, FifoEnd()) - fifoStart_;
    if (drop <= 0) return;
    fifoOffset_ += size_t(drop) * ch;
    fifoStart_ += drop;
    if (fifoOffset_ == fifo_.size()) {
        fifo_.clear();
        fifoOffset_ = 0;
    } else if (fifoOffset_ > (1u << 20) && fifoOffset_ * 2 > fifo_.size()) {
        fifo_.erase(fifo_.begin(), fifo_.begin() + ptrdiff_t(fifoOffset_));
        fifoOffset_ = 0;
    }
}

// ---- the reading shared by picture and sound ----

// The streams the picture's reading delivers: the picture's, and the
// sound's while it is shared.
void FFmpegSource::KeepReadStreams() {
    std::lock_guard<std::mutex> g(demuxLock_);
    KeepOnly(vfmt_.get(), videoIndex_);
    if (sharing_) vfmt_->streams[audioIndex_]->discard = AVDISCARD_DEFAULT;
}

// Holds a packet read for the other side. When the other side lags too far
// behind (or no room could be had), the sound goes its own way: what was
// held stays for its side, and nothing more is held from here on.
bool FFmpegSource::HoldFor(PacketQueue* queue, AVPacket* pkt) {
    if (!queue->Push(pkt)) {
        av_packet_unref(pkt);
        StopSharingLocked();
        return false;
    }
    if (queue->Bytes() > queueLimit_) StopSharingLocked();
    return true;
}

void FFmpegSource::StopSharing() {
    std::lock_guard<std::mutex> g(demuxLock_);
    StopSharingLocked();
}

void FFmpegSource::StopSharingLocked() {
    if (!sharing_) return;
    sharing_ = false;
    ++gSoundApart;
    if (vfmt_) KeepOnly(vfmt_.get(), videoIndex_);
}

void FFmpegSource::DropHeldVideo() {
    std::lock_guard<std::mutex> g(demuxLock_);
    forVideo_.Clear();
}

// A frame the shared reading cannot go on to: one before the picture in
// hand, or further ahead than a few frames (where the video may seek; see
// KeyFrameAhead, whose look at the index must not meet a reading of the
// sound), or any frame once the file ended with nothing in hand.
bool FFmpegSource::JumpsAway(int64_t n) const {
    constexpr int64_t kNearAhead = 8;
    const int64_t reach = std::max(shown_ ? shownIndex_ : 0, pending_ ? pendingIndex_ : 0);
    const bool empty = !shown_ && !pending_ && veof_;
    return empty || (shown_ && n < shownIndex_) || n > reach + kNearAhead;
}

// The next packet for the picture: one the sound's side read for it, else
// the next of the file. While the reading is shared, sound packets met on
// the way are held for the sound.
int FFmpegSource::ReadVideoPacket(AVPacket* pkt) {
    std::lock_guard<std::mutex> g(demuxLock_);
    if (forVideo_.Pop(pkt)) return 0;
    for (;;) {
        const int r = av_read_frame(vfmt_.get(), pkt);
        if (r < 0 || !sharing_ || pkt->stream_index != audioIndex_) return r;
        HoldFor(&forAudio_, pkt);
    }
}

// The next packet for the sound: one held for it, else the next of the
// shared reading (holding picture packets met on the way for the picture),
// else, once the sharing ended, the next from a reading of its own, which
// resumes right after the last packet the shared reading handed over.
int FFmpegSource::ReadAudioPacket(AVPacket* pkt) {
    if (!afmt_) {
        std::unique_lock<std::mutex> g(demuxLock_);
        auto handed = [&] {
            audioHanded_ = true;
            handedDts_ = pkt->dts;
            handedPts_ = pkt->pts;
            handedPos_ = pkt->pos;
            return 0;
        };
        if (forAudio_.Pop(pkt)) return handed();
        while (sharing_) {
            const int r = av_read_frame(vfmt_.get(), pkt);
            if (r < 0) return r;
            if (pkt->stream_index == audioIndex_) return handed();
            if (pkt->stream_index == videoIndex_) {
                HoldFor(&forVideo_, pkt);
                continue;
            }
            av_packet_unref(pkt);
        }
        g.unlock();
        OpenOwnAudioInput(true);
    }
    for (;;) {
        const int r = av_read_frame(afmt_.get(), pkt);
        if (r < 0 || !skipHanded_ || pkt->stream_index != audioIndex_) return r;
        // Packets up to the last one handed over were decoded already.
        bool before = false;
        if (handedDts_ != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE) before = pkt->dts <= handedDts_;
        else if (handedPos_ >= 0 && pkt->pos >= 0) before = pkt->pos <= handedPos_;
        if (!before) {
            skipHanded_ = false;
            return r;
        }
        av_packet_unref(pkt);
    }
}

// The sound's own reading of the file. With `resume`, it is placed at the
// last packet the shared reading handed over (ReadAudioPacket skips up to
// and including it); a file that cannot be placed there is read from its
// start, skipping the same way.
void FFmpegSource::OpenOwnAudioInput(bool resume) {
    auto open = [this] {
        std::string error;
        afmt_ = OpenInput(path_, &error, facts_.get());
        if (!afmt_) FailAudio("opening the file failed: " + error);
        if (audioIndex_ >= int(afmt_->nb_streams) || !UsableAudio(afmt_->streams[audioIndex_]))
            FailAudio("the sound track has gone");
        KeepOnly(afmt_.get(), audioIndex_);
        atb_ = afmt_->streams[audioIndex_]->time_base;
    };
    open();
    skipHanded_ = false;
    if (!resume || !audioHanded_) return;
    const int64_t ts = handedDts_ != AV_NOPTS_VALUE ? handedDts_ : handedPts_;
    if (ts == AV_NOPTS_VALUE || av_seek_frame(afmt_.get(), audioIndex_, ts, AVSEEK_FLAG_BACKWARD) < 0) open();
    skipHanded_ = true;
}

}  // namespace

SourceCounts SourceOpenCounts() {
    return SourceCounts{gStreamSearches.load(), gDecoderOpens.load(), gCountDecodes.load(), gSoundApart.load(),
                        gVideoSeeks.load(), gLastVideoThreads.load()};
}

void CountStreamSearch() { ++gStreamSearches; }

void ForgetSourceFacts() {
    {
        std::lock_guard<std::mutex> g(gParkLock);
        gParked = Parked{};
    }
    std::lock_guard<std::mutex> g(gFactsLock);
    gFacts.clear();
}

ClipPtr DirectShowSource(const std::string& path, EvalContext& context, int soundTrack) {
    // A conversion decodes on a thread of its own, ahead of the scaling.
    return DecodeAheadForConversion(std::make_shared<FFmpegSource>(path, soundTrack, context), context.options);
}

}  // namespace kalvex::avs
