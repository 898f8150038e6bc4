#pragma once
// The script engine's own interface. A script is opened with the options of
// its opener (the output-size hint, the decoder threads) and gives back a
// result: the evaluated script (null when it failed), the error text naming
// the line and the cause, and what its source found (the display aspect
// ratio). Nothing travels beside the call: two scripts opened one after the
// other, on one thread or on two, never see each other's options.
//
// The evaluated script serves the one video stream (YV12, Y, V, U planes)
// and the one audio stream (signed 16-bit PCM) described by the records of
// AviTypes.h.
#include <memory>
#include <mutex>
#include <string>

#include "engine/AviTypes.h"
#include "engine/Clip.h"
#include "engine/Options.h"

namespace kalvex::avs {

class FramePrefetcher;

// An evaluated script. It may be read from two threads at once, one reading
// the video and one the audio; each stream from one thread at a time.
class Script {
public:
    // keepPictures: frames read that stay at hand for a read going back
    // (OpenOptions::keepPictures).
    explicit Script(ClipPtr clip, int keepPictures = 0);
    ~Script();
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

    const ClipPtr& GetClip() const { return clip_; }
    bool HasVideo() const { return hasVideo_; }
    bool HasAudio() const { return hasAudio_; }
    // The streams' descriptions (zeros for a stream the script lacks).
    const AVISTREAMINFOA& VideoInfo() const { return videoInfo_; }
    const BITMAPINFOHEADER& VideoHeader() const { return videoHeader_; }
    const AVISTREAMINFOA& AudioInfo() const { return audioInfo_; }
    const PCMWAVEFORMAT& AudioFormat() const { return audioFormat_; }

    // count frames from frame start into buffer (biSizeImage bytes each).
    // Reads past the end deliver nothing and succeed; without a buffer only
    // the sizes are told. A frame the source could not deliver is copied as
    // its stand-in picture and the read gives AVIERR_FILEREAD.
    HRESULT ReadVideo(LONG start, LONG count, void* buffer, LONG bufferSize, LONG* bytesRead, LONG* framesRead);
    // count samples from sample start, cut at the stream's end. Sound that
    // cannot be delivered comes as silence, the read gives AVIERR_FILEREAD
    // and *error (when given) says why; a good read empties *error.
    HRESULT ReadAudio(LONG start, LONG count, void* buffer, LONG bufferSize, LONG* bytesRead, LONG* samplesRead,
                      std::string* error);

private:
    ClipPtr clip_;
    bool hasVideo_ = false;
    bool hasAudio_ = false;
    AVISTREAMINFOA videoInfo_{};
    BITMAPINFOHEADER videoHeader_{};
    AVISTREAMINFOA audioInfo_{};
    PCMWAVEFORMAT audioFormat_{};
    // The video and the audio chains keep separate state, so one lock each:
    // a video reader and an audio reader may work at the same time.
    std::mutex videoLock_;
    std::mutex audioLock_;
    // Made at the first frame read; stopped before the clip goes.
    std::unique_ptr<FramePrefetcher> prefetch_;
    const int keepPictures_;
};

struct OpenResult {
    // Nonzero (AVIERR_FILEOPEN, AVIERR_FILEREAD, AVIERR_BADPARAM) when the
    // script file itself could not be read; nothing else is set then.
    HRESULT fileError = AVIERR_OK;
    // The evaluated script; null when it could not be read or failed.
    std::shared_ptr<Script> script;
    // Why the script failed to evaluate, naming the line and the cause;
    // empty when it did not.
    std::string error;
    // What the script's source found (the last source, when it has
    // several): the display aspect ratio, reduced, 0:0 unknown; how its
    // video is decoded.
    SourceReport source;

    ClipPtr Clip() const { return script ? script->GetClip() : nullptr; }
};

// Reads and evaluates the script at path (at most 1 MiB).
OpenResult OpenScriptFile(const std::string& path, const OpenOptions& options = {});
// Evaluates a script given as text; name stands for its path in errors.
OpenResult OpenScriptText(const std::string& text, const std::string& name, const OpenOptions& options = {});

// The options of a conversion whose pictures end at width x height: the
// size hint, the decoding threads for a decoder with frame threads (the
// table of DecodeHint.h), and picture and sound read forward through one
// reading of the file (readOnce).
OpenOptions ConversionOptions(int width, int height);

// Routes FFmpeg's own messages (fatal ones, unless the environment variable
// KALVEX_AVS_LOG asks for more) to the engine's message sink rather than to
// the console. Done once per process; opening a script does it too.
void RouteLibraryMessages();

}  // namespace kalvex::avs

namespace kalvex {
// Where the engine's diagnostics go, one line each: a subtitle picture that
// does not decode, libass's errors, the decoders' fatal messages. Null (the
// start) drops them; the engine never writes to stdout or stderr itself.
// One sink for the process: it is where lines are logged, not a parameter
// of any one script.
void SetEngineMessageSink(void (*sink)(const char* line));
}  // namespace kalvex
