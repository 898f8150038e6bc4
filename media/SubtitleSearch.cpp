#include "media/SubtitleSearch.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

namespace kalvex {

const SubtitleSite kSubtitleSites[3] = {
    {"subscene.com", "subscene.com", "/filmsearch.aspx?q=%s"},
    {"subtitlesource.org", "www.subtitlesource.org", "/search-movies.php?search=%s&where_to_search="},
    {"divxsubtitles.net", "www.divxsubtitles.net", "/sub/?searchword=%s"},
};

namespace {

void AddWords(const std::string& name, std::vector<std::string>& words) {
    std::string piece;
    auto flush = [&] {
        if (piece.empty()) return;
        const bool skip = strcasecmp(piece.c_str(), "avi") == 0 ||
                          std::any_of(words.begin(), words.end(),
                                      [&](const std::string& w) { return strcasecmp(w.c_str(), piece.c_str()) == 0; });
        if (!skip) words.push_back(piece);
        piece.clear();
    };
    for (char c : name) {
        if (c == '[' || c == ']' || c == '.' || c == '-')
            flush();
        else
            piece += c;
    }
    flush();
}

// The last folder name of a path ("Films" of "/video/Films/a.avi").
std::string LastFolderName(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return {};
    const size_t before = path.rfind('/', slash - 1);
    return path.substr(before == std::string::npos ? 0 : before + 1, slash - (before == std::string::npos ? 0 : before + 1));
}

}  // namespace

std::vector<std::string> ExtractSearchWords(const std::vector<VideoFileEntry>& entries) {
    std::vector<std::string> words;
    for (const VideoFileEntry& e : entries) {
        AddWords(FieldText(e.fileName), words);
        AddWords(LastFolderName(FieldText(e.fullPath)), words);
    }
    return words;
}

std::string SearchWordsText(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) text += w + " ";
    return text;
}

std::string UrlEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) && c < 0x80) {
            out += char(c);
        } else if (std::isspace(c)) {
            out += '+';
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string SearchAddress(int site, const std::string& movieName) {
    if (site < 0 || site >= int(std::size(kSubtitleSites))) return {};
    std::string pathQuery = kSubtitleSites[site].pathQuery;
    const size_t at = pathQuery.find("%s");
    pathQuery.replace(at, 2, UrlEncode(movieName));
    return std::string("http://") + kSubtitleSites[site].host + pathQuery;
}

}  // namespace kalvex
