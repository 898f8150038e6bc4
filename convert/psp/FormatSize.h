#pragma once
#include <cstdint>
#include <string>

namespace kalvex {

// A byte count as text: above 1 GiB "%.2fG", above 1 MiB "%.2fM", above
// 1 KiB "%.2fK" (in those units), otherwise the count itself with "B"
// (1024 -> "1024B", 1536 -> "1.50K"; negative counts take the last form).
std::string FormatSize(int64_t bytes);

}  // namespace kalvex
