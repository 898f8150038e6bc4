#include "platform/profile/PrivateProfile.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace kalvex {
namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// "[name]" → name
std::optional<std::string> SectionName(const std::string& line) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

std::optional<std::string> KeyName(const std::string& line) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string t = Trim(line);
    if (!t.empty() && t[0] == ';') return std::nullopt;
    return Trim(line.substr(0, eq));
}

std::optional<std::string> Lookup(const std::string& section, const std::string& key,
                                  const std::string& path) {
    bool inSection = false;
    for (const auto& line : ReadLines(path)) {
        if (auto s = SectionName(line)) {
            inSection = SameName(*s, section);
            continue;
        }
        if (!inSection) continue;
        auto k = KeyName(line);
        if (k && SameName(*k, key)) return Trim(line.substr(line.find('=') + 1));
    }
    return std::nullopt;
}

}  // namespace

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& path) {
    auto v = Lookup(section, key, path);
    if (!v) return defaultValue;
    const std::string& s = *v;
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && s[i] == '-') {
        negative = true;
        ++i;
    }
    long long value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        value = value * 10 + (s[i] - '0');
        if (value > 0x7fffffffLL) value = 0x7fffffffLL;  // saturate instead of wrapping
    }
    return static_cast<int>(negative ? -value : value);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, size_t bufferSize,
                                    const std::string& path) {
    std::string v = Lookup(section, key, path).value_or(defaultValue);
    if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') ||
                          (v.front() == '\'' && v.back() == '\'')))
        v = v.substr(1, v.size() - 2);
    if (bufferSize == 0) return {};
    if (v.size() > bufferSize - 1) v.resize(bufferSize - 1);
    return v;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& path) {
    // A read-only file stays as it is, as it would for a direct write.
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) return false;
    std::vector<std::string> lines = ReadLines(path);
    bool inSection = false, sectionFound = false, done = false;
    size_t insertAt = 0;  // after the last non-blank line of the section
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        if (auto s = SectionName(lines[i])) {
            if (inSection) break;  // end of our section
            inSection = SameName(*s, section);
            if (inSection) {
                sectionFound = true;
                insertAt = i + 1;
            }
            continue;
        }
        if (!inSection) continue;
        if (!Trim(lines[i]).empty()) insertAt = i + 1;
        auto k = KeyName(lines[i]);
        if (k && SameName(*k, key)) {
            lines[i] = *k + "=" + value;
            done = true;
        }
    }
    if (!done) {
        if (sectionFound) {
            lines.insert(lines.begin() + static_cast<long>(insertAt), key + "=" + value);
        } else {
            lines.push_back("[" + section + "]");
            lines.push_back(key + "=" + value);
        }
    }
    // Write a sibling file and rename it over the old one so a crash never
    // leaves a half-written settings file.
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        for (const auto& l : lines) out << l << "\n";
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool WritePrivateProfileInt(const std::string& section, const std::string& key, int value,
                            const std::string& path) {
    return WritePrivateProfileString(section, key, std::to_string(value), path);
}

}  // namespace kalvex
