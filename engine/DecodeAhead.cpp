#include "engine/DecodeAhead.h"

#include "engine/Prefetch.h"

namespace kalvex::avs {

DecodeAheadClip::DecodeAheadClip(ClipPtr source, int ahead) : source_(std::move(source)), ahead_(ahead) {
    info_ = source_->Info();
}

// Here, where the prefetcher is a complete type. Its worker stops after the
// picture it is decoding.
DecodeAheadClip::~DecodeAheadClip() = default;

FramePtr DecodeAheadClip::GetFrame(int64_t n) {
    if (info_.frameCount <= 0) return source_->GetFrame(n);
    if (!prefetch_) prefetch_ = std::make_unique<FramePrefetcher>(source_, ahead_, 0, "decode-ahead");
    FramePtr f = prefetch_->Get(n);
    if (!f) throw ReadAbandoned("the picture's read was given up");
    return f;
}

void DecodeAheadClip::GetAudio(int16_t* buffer, int64_t start, int64_t count) {
    source_->GetAudio(buffer, start, count);
}

ClipPtr DecodeAheadForConversion(ClipPtr source, const OpenOptions& options) {
    if (!source || options.decoderCores <= 0 || !source->Info().hasVideo) return source;
    return std::make_shared<DecodeAheadClip>(std::move(source));
}

}  // namespace kalvex::avs
