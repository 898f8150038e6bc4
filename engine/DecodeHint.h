#pragma once
// What a conversion tells the source filter about the pictures it will end
// up with, so that decoding can skip work whose effect the downscale
// removes. The hint comes with the options of the one script it is opened
// with (OpenOptions); the preview and any other reader that gives no hint
// decode in full.
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace kalvex::avs {

// Whether a source picture of sourceW x sourceH shrinks at least twofold in
// both directions to outW x outH (exactly twofold included). False when
// either size is unknown (0 or less).
bool ShrinksTwofold(int sourceW, int sourceH, int outW, int outH);

// Whether the in-loop deblocking of a source's non-reference pictures can
// be skipped: an H.264 or HEVC stream whose picture shrinks at least
// twofold in both directions. No other picture is predicted from a
// non-reference picture, so the unfiltered block edges stay in that one
// picture, where the downscale averages them away: measured on noisy
// 5 Mbit/s 720p H.264, +0.01 dB against the full decode for a tenth less
// decoding time. Skipping it on every picture saves a little more but lets
// the difference build up through each group of pictures (-1.25 dB there).
bool SkipsLoopFilter(AVCodecID codec, int sourceW, int sourceH, int outW, int outH);

// The number of decoding threads for a conversion's source decoder of
// pictures of width x height on `cores` cores (0: the library's own
// choice, one more than the cores). A decoder that works on several
// pictures at once (frame threads) gets the count of a table measured on
// the conversion's kinds of source (see DecodeHint.cpp): a few more
// threads than cores keep small pictures' cores busy while a picture waits
// for the rows of the one it is predicted from, but on large pictures
// each thread beyond that costs processor time (six frame threads on two
// cores took 29 % more processor time on 1080p H.264 than three) and a
// large picture's worth of memory. Decoders that split one picture into
// slices get no count here (0): SliceDecoderThreads below decides theirs,
// for every reader alike. An unknown size (0 or less) counts as
// 1080p; an unknown core count (less than 1) gives 0. The preview gives no
// count and keeps the library's count, where each extra frame thread is
// one more picture of delay after a seek.
int ConversionDecoderThreads(bool frameThreads, int cores, int width, int height);

// The number of threads for a decoder that can only split a picture into
// slices (MPEG-1/2, DV), whoever reads the source, when no count is asked
// for: one on up to two cores, the library's own choice (0: one more than
// the cores) above, and on an unknown core count (less than 1). On two
// cores the reading already runs beside the scaling, the encoder and the
// sound; slice threads there only add hand-overs. One count for every
// reader, so that the decoder the examination opened can still be handed
// to the conversion (see DecodeHint.cpp for the figures).
int SliceDecoderThreads(int cores);

}  // namespace kalvex::avs
