#pragma once
// What the PSP's video list shows besides the video: the title stored in
// the file and the thumbnail picture beside it.
#include <cstdint>
#include <string>

namespace kalvex {

// The most UTF-16 units a title entry of the PSP's title box holds: the
// entry's size is a 16-bit count of bytes, 10 of them for its own header,
// and the title ends with a 0 unit.
constexpr size_t kMaxPspTitleUnits = (0xFFFF - 10) / 2 - 1;

// A title as the PSP's title box can carry it, in UTF-8: a byte that does
// not start a valid UTF-8 character is read as the Latin-1 character of
// that value (the usual encoding of titles in older files); characters the
// box cannot hold in one UTF-16 unit (beyond U+FFFF) become U+FFFD; NUL and
// other control characters become spaces; blanks around are dropped; the
// result is cut after kMaxPspTitleUnits characters (never inside one).
std::string PspTitleText(const std::string& raw);

// The title a file is given: the source's own title tag when it has one
// that is not blank, else the file title (the file name without its last
// extension), both through PspTitleText.
std::string PspTitle(const std::string& sourceTitleTag, const std::string& fileName);

// The "title" tag of a media file as FFmpeg reads it; empty when it has
// none or cannot be opened.
std::string ReadSourceTitleTag(const std::string& path);

// The PSP's title box as FFmpeg's "psp" muxer writes it: a "uuid" box of
// the USMT kind holding an "MTDT" box with three entries, a fixed one, the
// title (type 1) and the date (type 3, "YYYY/MM/DD HH:MM:SS"), each text in
// UTF-16 (big-endian) ending with a 0 unit. `title` is UTF-8 as
// PspTitleText makes it.
std::string PspTitleBox(const std::string& title, const std::string& date);

// Adds the title box at the end of the "moov" box of a finished MP4 file
// whose last box that is. The file is only changed when it can be done
// whole: a failure puts the file back as it was. False with a reason.
bool AppendPspTitleBox(const std::string& path, const std::string& title, std::string* reason);

// The thumbnail of a PSP video: a 160x120 picture with the video's picture
// letterboxed into it.
constexpr int kThumbnailWidth = 160, kThumbnailHeight = 120;

// The picture a thumbnail is taken from: the first picture from 10 % of the
// running time on that is not black; the one at 10 % when every later one
// is black.
size_t ThumbnailFrameIndex(size_t totalFrames);

// Whether a picture counts as black: fewer than 2 % of its luma samples are
// brighter than 40 (limited range, black is 16).
bool IsBlackPicture(const uint8_t* luma, int width, int height, int stride);

// The size the video's picture takes inside the thumbnail: the whole width
// (or height) kept, the other side by the picture's shape, even, at least 2.
struct ThumbnailBox {
    int width, height, left, top;
};
ThumbnailBox ThumbnailBoxFor(int videoWidth, int videoHeight);

// Writes a baseline JPEG thumbnail of one YV12 picture (planes Y, V, U, one
// after another) of width x height to `path`: the picture letterboxed into
// 160x120 with black. Written under a temporary name of this process
// (path + ".<pid>.part") and renamed when it is complete. False with a reason (naming the step and the library's text).
bool WriteThumbnail(const uint8_t* yv12, int width, int height, const std::string& path, std::string* reason);

}  // namespace kalvex
