#pragma once
// The script engine's interface: the calls the program makes to open an
// AviSynth script and read its one YV12 video stream and one PCM audio
// stream, with the names and plain records of the Video for Windows calls.
//
// Scripts are evaluated by our own engine over the FFmpeg libraries; see
// ScriptEngine.h for the clip chain behind these calls.
#include <cstdint>

namespace kalvex {

using DWORD = uint32_t;
using WORD = uint16_t;
using LONG = int32_t;
using HRESULT = int32_t;

constexpr DWORD MakeFourCC(char a, char b, char c, char d) {
    return DWORD(uint8_t(a)) | DWORD(uint8_t(b)) << 8 | DWORD(uint8_t(c)) << 16 | DWORD(uint8_t(d)) << 24;
}
constexpr DWORD streamtypeVIDEO = MakeFourCC('v', 'i', 'd', 's');  // 0x73646976
constexpr DWORD streamtypeAUDIO = MakeFourCC('a', 'u', 'd', 's');  // 0x73647561
constexpr DWORD kFourCC_YV12 = MakeFourCC('Y', 'V', '1', '2');     // 0x32315659
constexpr WORD WAVE_FORMAT_PCM = 1;

// Result codes.
constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT AVIERR_NODATA = int32_t(0x80044070);      // no stream of that type
constexpr HRESULT AVIERR_BADPARAM = int32_t(0x80044066);
constexpr HRESULT AVIERR_BUFFERTOOSMALL = int32_t(0x80044074);
constexpr HRESULT AVIERR_FILEOPEN = int32_t(0x80044068);    // the script could not be read
constexpr HRESULT AVIERR_FILEREAD = int32_t(0x8004406A);    // a read failed

struct RECT {
    LONG left, top, right, bottom;
};

// Stream information, 140 bytes as on Windows.
struct AVISTREAMINFOA {
    DWORD fccType;  // streamtypeVIDEO or streamtypeAUDIO
    DWORD fccHandler;
    DWORD dwFlags;
    DWORD dwCaps;
    WORD wPriority;
    WORD wLanguage;
    DWORD dwScale;  // rate / scale = frames (or samples) per second
    DWORD dwRate;
    DWORD dwStart;
    DWORD dwLength;  // frames, or audio samples
    DWORD dwInitialFrames;
    DWORD dwSuggestedBufferSize;
    DWORD dwQuality;
    DWORD dwSampleSize;
    RECT rcFrame;
    DWORD dwEditCount;
    DWORD dwFormatChangeCount;
    char szName[64];
};
static_assert(sizeof(AVISTREAMINFOA) == 140);

// Video format, 40 bytes as on Windows. biCompression is kFourCC_YV12.
struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;  // bytes of one frame: Y, then V, then U plane
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

// Audio format: the first 16 bytes of a WAVEFORMATEX (signed 16-bit PCM).
#pragma pack(push, 2)
struct PCMWAVEFORMAT {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
};
#pragma pack(pop)
static_assert(sizeof(PCMWAVEFORMAT) == 16);

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

// Where the engine's diagnostics go, one line each: a subtitle picture that
// does not decode, libass's errors, the decoders' fatal messages. Null (the
// start) drops them; the engine never writes to stdout or stderr itself.
void SetEngineMessageSink(void (*sink)(const char* line));

// Nonzero when the last read of the stream failed for a reason the engine
// can name; *text then points to it (the source, the step and the library's
// own words), valid until the next read of the stream.
int MyAVIStreamGetError(PAVISTREAM stream, const char** text);

}  // namespace kalvex

// Looked up by the DirectShowSource plug-in module in the running program.
extern "C" void KalvexAvsLastDAR(int* x, int* y);
