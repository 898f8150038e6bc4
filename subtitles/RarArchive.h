#pragma once
// Reads the picture data of a VobSub pair packed into a RAR archive.
#include <QString>
#include <cstdint>
#include <vector>

namespace kalvex {

// Extracts the first entry whose name ends in ".sub" (compared without case)
// into data. False when the archive cannot be read or holds no such entry.
bool ReadFirstSubFromRar(const QString& path, std::vector<std::uint8_t>& data);

}  // namespace kalvex
