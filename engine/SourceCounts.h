#pragma once
// How much work the engine's source reading has done in this process: the
// searches through a file's first packets for its streams' parameters, the
// decoders it opened and the frame counts it took by decoding a file's end.
// A file opened again (the conversion after the examination, the preview)
// reuses what its first opening learned; these counts show whether it did.
// Beside them, the jumps of picture readings back or ahead to a key frame
// (each a seek of the demuxer and a decode forward from there).
#include <cstdint>

namespace kalvex::avs {

struct SourceCounts {
    int64_t streamSearches = 0;
    int64_t decoderOpens = 0;
    int64_t countDecodes = 0;
    // Times the sound of a source read together with its picture went back
    // to a reading of its own (a jump, or one side far ahead of the other).
    int64_t soundReadsApart = 0;
    int64_t videoSeeks = 0;
    // The threads the last picture decoder was opened with, as the library
    // settled them (0: none opened yet).
    int lastVideoDecoderThreads = 0;
};

SourceCounts SourceOpenCounts();

// Counts a search made elsewhere in the engine (listing a file's tracks).
void CountStreamSearch();

// Forgets what earlier openings learned: the next opening of any file reads
// it afresh.
void ForgetSourceFacts();

}  // namespace kalvex::avs
