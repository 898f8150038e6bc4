#pragma once
// What the "Search Subtitles" dialog works with: the words taken from the
// video file names, the subtitle sites and their search addresses.
#include <string>
#include <vector>

#include "media/VideoFileEntry.h"

namespace kalvex {

// Words of the entries' file names and of the folders holding them: the
// names are split at "[", "]", "." and "-" (spaces stay inside the words),
// empty pieces and "avi" are dropped, and each word is kept once (compared
// without regard to case), in order of appearance.
std::vector<std::string> ExtractSearchWords(const std::vector<VideoFileEntry>& entries);

// The words as the dialog shows them: each followed by one space.
std::string SearchWordsText(const std::vector<std::string>& words);

// Letters and digits stay, white space becomes "+", every other byte "%XX"
// with upper-case hexadecimal digits ("Dr. No" gives "Dr%2E+No").
std::string UrlEncode(const std::string& text);

struct SubtitleSite {
    const char* name;      // shown in the site box: the site's domain name
    const char* host;
    const char* pathQuery; // with one "%s" for the movie name
};
extern const SubtitleSite kSubtitleSites[3];

// "http://" + host + the path and query with the encoded movie name; empty
// for a site index out of range.
std::string SearchAddress(int site, const std::string& movieName);

}  // namespace kalvex
