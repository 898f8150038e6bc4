#pragma once
// The script engine behind the Video for Windows style calls: open an
// AviSynth script and read its one YV12 video stream and one PCM audio
// stream. A thin adapter over the engine's own interface (Engine.h), which
// the program's readers use; these calls keep the "current file of the
// calling thread" they are defined by, and nothing else.
#include "engine/AviTypes.h"

namespace kalvex {

// A stream handle. Each handle keeps its clip alive on its own; it may be
// read from any one thread at a time, and the video and the audio stream of
// one script may be read from two threads at once.
struct AviStream;
using PAVISTREAM = AviStream*;
using PAVIFILE = void*;

// Once per user (reader); counted, the engine stays ready while any user is.
void MyAVIFileInit();
void MyAVIFileExit();

// Evaluates the script at path. 0 on success. A script that cannot be read
// gives a nonzero result and nothing else. A script that is read but does
// not evaluate still gives 0; its error text is then served by
// MyAVIFileGetError and no stream is available. In both cases the script
// becomes the current file of the calling thread ("the script opened last").
HRESULT MyAVIFileOpen(const char* path);

// A stream of the current file: streamtypeVIDEO or streamtypeAUDIO, index 0.
// 0 and *stream set on success; AVIERR_NODATA when the script has no such
// stream (or failed), *stream then null.
HRESULT MyAVIFileGetStream(PAVISTREAM* stream, DWORD type, LONG index);

// Nonzero when the current file failed to evaluate; *text then points to a
// NUL-terminated message naming the line and the cause, valid until the next
// MyAVIFileOpen on this thread.
int MyAVIFileGetError(const char** text);

// Releases one stream handle.
LONG MyAVIStreamClose(PAVISTREAM stream);
// Takes a file handle, which the program never holds; kept for completeness.
LONG MyAVIFileClose(PAVIFILE file);

// Copies min(size, 140) bytes of the stream information.
HRESULT AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA* info, LONG size);

// format == nullptr: *size gets the format size (40 for video, 16 for audio).
// Otherwise copies min(*size, format size) bytes and sets *size to that.
HRESULT AVIStreamReadFormat(PAVISTREAM stream, LONG pos, void* format, LONG* size);

// Video: count frames from frame start (the program reads one per call)
// into buffer, which must hold biSizeImage bytes per frame. Audio: count
// samples from sample start, cut at the stream's end; *bytesRead and
// *samplesRead tell how much was delivered. Reads past the end deliver
// nothing and succeed. 0 on success. Audio that cannot be delivered (the
// source's sound track cannot be decoded or converted) is delivered as
// silence and the read gives AVIERR_FILEREAD; MyAVIStreamGetError says why.
HRESULT AVIStreamRead(PAVISTREAM stream, LONG start, LONG count, void* buffer, LONG bufferSize,
                      LONG* bytesRead, LONG* samplesRead);

// Nonzero when the last read of the stream failed for a reason the engine
// can name; *text then points to it (the source, the step and the library's
// own words), valid until the next read of the stream.
int MyAVIStreamGetError(PAVISTREAM stream, const char** text);

}  // namespace kalvex
