#pragma once
// What the opener of a script tells the engine, and what the evaluation
// learns on the way. Both travel with the evaluation: every function of the
// script sees them, the source filter reads the options and writes the
// report, and the opener gets the report back with the result.
#include <cstdint>
#include <functional>

#include "engine/Tracks.h"

namespace kalvex::avs {

struct OpenOptions {
    // The size the script's pictures are encoded at; 0 x 0 (or either one
    // 0 or less): no hint, the source decodes in full. See DecodeHint.h.
    int outputWidth = 0;
    int outputHeight = 0;
    // Decoding threads for a source decoder that works on several pictures
    // at once (frame threads); 0: the library's own choice. Decoders that
    // split one picture into slices always keep the library's count.
    int decoderThreads = 0;
    // The cores a conversion's source decoder may use (0: not a
    // conversion): the source then takes its thread count from the table
    // for its picture size (ConversionDecoderThreads), which overrides
    // decoderThreads.
    int decoderCores = 0;
    // Picture and sound read forward together (a conversion): one reading
    // of the file feeds both decoders, so an interleaved file is read once.
    // Either side jumping, or one running too far ahead of the other, gives
    // the sound a reading of its own again.
    bool readOnce = false;
    // How many bytes of packets one side may hold for the other before the
    // sound goes its own way; 0: the source's default (a few MB).
    int64_t readOnceQueueBytes = 0;
    // Asked by the source before each picture it decodes for a read; true
    // while the opener no longer wants the picture being read (a preview
    // moved elsewhere): the read then ends with ReadAbandoned. Called on
    // the reading thread; empty: reads always finish.
    std::function<bool()> stopVideo;
    // Pictures already handed out that stay at hand for a read going back
    // to them (a preview's slider moved back a little); 0: none kept.
    int keepPictures = 0;

    bool HasOutputSize() const { return outputWidth > 0 && outputHeight > 0; }
};

// What the sources of a script found; the last source opened wins, as the
// script's result is built on it.
struct SourceReport {
    // The display aspect ratio, reduced; 0:0 unknown (or no source).
    int darX = 0;
    int darY = 0;
    // The threads its video decoder was opened with (0: the library's own
    // choice); whether it leaves out the deblocking of non-reference
    // pictures.
    int decoderThreads = 0;
    bool skipsLoopFilter = false;
    // The sound and subtitle tracks of the source's file, read with its
    // streams, so that whoever opened the script needs no reading of its
    // own to list them (tracksRead false: no source told them).
    bool tracksRead = false;
    TrackList tracks;
};

struct EvalContext {
    OpenOptions options;
    SourceReport source;
};

}  // namespace kalvex::avs
