#pragma once
#include <string>

namespace kalvex {

// Initialisation-file access with the semantics the settings rely on:
// section and key names compare without case, every read has a default,
// every write goes straight to the file (created with its section on the
// first write) and keeps every other line as it was.

// The integer under section/key; the default when the key is missing,
// otherwise the value's leading decimal digits (an optional '-' first);
// 0 when the value has no leading digits.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path);

// The text under section/key, or defaultValue when missing; at most
// bufferSize - 1 characters, as a fixed buffer of that size would hold.
// Surrounding blanks and one pair of enclosing quotes are removed.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, size_t bufferSize,
                                    const std::string& path);

// Writes value under section/key; false when the file cannot be written.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path);

// Writes the integer as signed decimal text ("%d").
bool WritePrivateProfileInt(const std::string& section, const std::string& key, int value,
                            const std::string& path);

}  // namespace kalvex
