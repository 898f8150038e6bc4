#pragma once
#include <cstdint>
#include <string>

namespace kalvex {

// A time in 100-ns units as text, by whole division (no rounding) into
// milliseconds, seconds, minutes and hours:
//   0 "%02d:%02d"            total minutes, seconds
//   1 "%02d:%02d.%03d"       total minutes, seconds, milliseconds
//   2 "%02d:%02d:%02d"       hours, minutes 0-59, seconds
//   3 "%02d:%02d:%02d.%03d"  hours, minutes 0-59, seconds, milliseconds
// An unknown format shows as format 0. A negative time (a trim range whose
// start lies after its end) shows as "-" and the text of its magnitude.
std::string TimeText(int64_t time, int format);

}  // namespace kalvex
