#pragma once
#include <cstddef>
#include <string>

namespace kalvex {

// Stand-in for the system's FindMimeFromData with data only: names the MIME
// type of a buffer (a file's first bytes) from its content alone. False when
// the data gives no answer (no bytes, or the sniffer cannot be loaded); an
// unrecognised binary answers "application/octet-stream". Safe to call from
// several threads.
bool FindMimeFromData(const void* data, size_t size, std::string* mimeType);

}  // namespace kalvex
