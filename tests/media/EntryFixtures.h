#pragma once
// Entries and script text for the tests of the script builder and the track
// choice: a file-list entry as the examination would fill it, and a text cut
// into its lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "media/VideoFileEntry.h"

namespace kalvex::test {

constexpr int64_t kSecond = 10000000;  // the entry's time unit

// An entry for the file at path: the picture's size and rate, its length,
// stereo sound at 44.1 kHz, not trimmed.
inline VideoFileEntry SourceEntry(const std::string& path, int width = 640, int height = 480, double fps = 25,
                                  double seconds = 10) {
    VideoFileEntry e = ZeroEntry();
    EXPECT_TRUE(SetFieldText(e.fullPath, path));
    const size_t slash = path.rfind('/');
    EXPECT_TRUE(SetFieldText(e.fileName, slash == std::string::npos ? path : path.substr(slash + 1)));
    e.mediaInfo.width = width;
    e.mediaInfo.height = height;
    e.mediaInfo.fps = fps;
    e.mediaInfo.duration = int64_t(seconds * kSecond);
    e.mediaInfo.channels = 2;
    e.mediaInfo.sampleRate = 44100;
    e.endTime = e.mediaInfo.duration;
    return e;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace kalvex::test
