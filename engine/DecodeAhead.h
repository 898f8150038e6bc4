#pragma once
// A conversion's source decodes on a thread of its own, a picture ahead of
// the filters that scale it. Without it, the thread that feeds the decoder
// also scales every picture, and while it scales no new picture reaches the
// decoder's frame threads: with few of them (a 4K source, whose pictures
// are costly to hold) they run dry and a core idles. The clip hands the
// source's pictures on unchanged and reads its sound straight through.
#include <memory>

#include "engine/Clip.h"

namespace kalvex::avs {

class FramePrefetcher;

class DecodeAheadClip : public Clip {
public:
    // ahead: pictures decoded beyond the one asked for last.
    explicit DecodeAheadClip(ClipPtr source, int ahead = 1);
    ~DecodeAheadClip() override;

    // The source's frame n. A read the source gave up (ReadAbandoned) is
    // given up here too, so the reader above sees it as before.
    FramePtr GetFrame(int64_t n) override;
    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override;

private:
    ClipPtr source_;
    const int ahead_;
    // Made at the first picture asked for (pictures are asked for from one
    // thread at a time): a script opened only to be looked at starts no
    // thread.
    std::unique_ptr<FramePrefetcher> prefetch_;
};

// The source of a conversion (context.options.decoderCores set) with
// pictures, wrapped in a DecodeAheadClip; any other clip unchanged.
ClipPtr DecodeAheadForConversion(ClipPtr source, const OpenOptions& options);

}  // namespace kalvex::avs
