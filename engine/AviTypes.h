#pragma once
// The plain records and result codes of the Video for Windows calls, which
// the engine's own interface uses too: the stream information, the video
// format (BITMAPINFOHEADER) and the 16-byte PCM format.
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

}  // namespace kalvex
