#pragma once
// The inner count of the combing look (CountCombing in PictureChain.h),
// in a file of its own: the build compiles it for vector instructions,
// since it runs over every pixel of each picture the probe looks at.
#include <cstdint>

namespace kalvex::avs {

// How many pixels of the 8-bit rows rows[2 step] .. rows[height - 2 step - 1]
// zigzag: c differs from both lines `step` away (p above, n below) by more
// than `threshold` on the same side, and |far above + 4 c + far below -
// 3 (p + n)| exceeds 6 threshold, where the far lines lie 2 step away.
// Every row holds at least `width` samples. 0 when the rows are too few.
int64_t CountZigzags(const uint8_t* const* rows, int height, int width, int step, int threshold);

}  // namespace kalvex::avs
