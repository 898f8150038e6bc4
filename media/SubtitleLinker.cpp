#include "media/SubtitleLinker.h"

#include <QFile>
#include <QString>
#include <dirent.h>
#include <fnmatch.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/ProgramLog.h"
#include "subtitles/RTS.h"
#include "subtitles/SubStream.h"
#include "subtitles/TextFile.h"
#include "subtitles/VobSubFile.h"

namespace kalvex {

const char* const kSubtitlePatterns1[kSubtitlePatternCount] = {
    ".srt", ".sub", ".smi", ".psb", ".ssa", ".ass", ".idx", ".usf", ".xss", ".txt", ".ssf"};
const char* const kSubtitlePatterns2[kSubtitlePatternCount] = {
    ".*.srt", ".*.sub", ".*.smi", ".*.psb", ".*.ssa", ".*.ass", ".*.dummyidx", ".*.usf", ".*.xss", ".*.txt", ".*.ssf"};

std::string SubtitleFileFilter() {
    std::string filter = "Subtitle Files|";
    for (int i = 0; i < kSubtitlePatternCount; ++i) {
        if (i) filter += ";";
        filter += std::string("*") + kSubtitlePatterns1[i];
    }
    return filter + "||";
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

namespace {

QString Q(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }
std::string S(const QString& s) { return QFile::encodeName(s).toStdString(); }

bool SameNoCase(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// A file name taken literally inside a wildcard pattern.
std::string EscapeWildcards(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// The names in a folder, in the order the system lists them; false when the
// folder cannot be read.
bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        LogLine("Subtitle search: cannot read folder %s: %s", folder.c_str(), std::strerror(errno));
        return false;
    }
    while (dirent* d = readdir(dir)) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
        names.emplace_back(d->d_name);
    }
    closedir(dir);
    return true;
}

// The names of the folder matching a pattern, compared without regard to
// case as the Windows file search does.
std::vector<std::string> Matching(const std::vector<std::string>& names, const std::string& pattern) {
    std::vector<std::string> out;
    for (const std::string& n : names)
        if (fnmatch(pattern.c_str(), n.c_str(), FNM_CASEFOLD) == 0) out.push_back(n);
    return out;
}

void Replace(std::string& s, const std::string& from, const std::string& to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p)) s.replace(p, from.size(), to);
}

// The lines holding "://" of a ".wse" list (a local file or a web address).
void ReadWebList(const std::string& listPath, std::vector<std::string>& out) {
    CWebTextFile f;
    if (!f.Open(Q(listPath))) {
        LogLine("Subtitle search: cannot read the list %s", listPath.c_str());
        return;
    }
    QString line;
    while (f.ReadLine(line)) {
        const std::string text = S(line.trimmed());
        if (text.find("://") != std::string::npos) out.push_back(text);
    }
}

}  // namespace

std::vector<std::string> FindSubtitleFiles(const std::string& videoPath, const std::vector<std::string>& folders) {
    std::string path = videoPath;
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string title = dot != std::string::npos && dot >= nameStart ? path.substr(nameStart, dot - nameStart)
                                                                             : path.substr(nameStart);
    std::vector<std::string> ret;

    const size_t http = path.find("http://");
    if (http != std::string::npos && http > 0) {
        path = path.substr(http);
        ReadWebList(FolderOf(path) + title + ".wse", ret);
    } else {
        const std::string videoFolder = FolderOf(path);
        for (std::string folder : folders) {
            if (folder.empty()) folder = ".";  // the current folder, as for a bare file name
            if (folder.back() != '/') folder += '/';
            if (folder.front() != '/') folder = videoFolder + folder;
            Replace(folder, "/./", "/");
            std::vector<std::string> names;
            if (!ListFolder(folder, names)) continue;
            // Nothing in the folder starts with the title: nothing to look for.
            bool any = false;
            const std::string marker = title + ".nooneexpectsthespanishinquisition";
            for (const std::string& n : Matching(names, EscapeWildcards(title) + "*"))
                if (!SameNoCase(n, marker)) any = true;
            if (!any) continue;

            const std::string stem = EscapeWildcards(title);
            for (const char* pattern : kSubtitlePatterns1)
                for (const std::string& n : Matching(names, stem + pattern)) ret.push_back(folder + n);
            for (const char* pattern : kSubtitlePatterns2) {
                for (const std::string& n : Matching(names, stem + pattern)) {
                    // "movie.en.srt" belongs to "movie.en.avi" when that exists.
                    const std::string video = n.substr(0, n.rfind('.')) + ".avi";
                    const bool hasVideo =
                        std::any_of(names.begin(), names.end(), [&](const std::string& m) { return SameNoCase(m, video); });
                    if (!hasVideo) ret.push_back(folder + n);
                }
            }
        }
    }
    std::stable_sort(ret.begin(), ret.end(),
                     [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
    return ret;
}

SubtitleLinker::SubtitleLinker() = default;
SubtitleLinker::~SubtitleLinker() = default;

std::unique_ptr<ISubStream> SubtitleLinker::Open(const std::string& path, std::string* linked, std::string* extraName,
                                                 bool* extraIsLinked) {
    // Each reader's reason goes out as it comes, in the order the readers
    // are tried, as the user would see their messages.
    auto failed = [&](const SubtitleReadError& error) {
        if (!error) return;
        lastError_ = error;
        LogLine("Sub: %s: %s", path.c_str(), qPrintable(error.text.trimmed()));
        if (report_.failed) report_.failed(path, error);
    };
    {
        auto vob = std::make_unique<CVobSubFile>();
        const bool opened = vob->Open(Q(path));
        if (!opened) failed(vob->LastError());
        if (opened && vob->CountStreams() > 0) {
            // A VobSub pair is always linked by its ".sub" name.
            std::string sub = path.size() >= 4 ? path.substr(0, path.size() - 4) + ".sub" : path + ".sub";
            *linked = sub;
            *extraName = sub;
            *extraIsLinked = true;
            return vob;
        }
    }
    // Subtitle Station files (".ssf") have no reader in this build: the
    // step is skipped and such a file goes on to the text reader.
    {
        auto text = std::make_unique<CRenderedTextSubtitle>();
        if (report_.unknownStyle)
            text->SetUnknownStyleQuestion(
                [this, &path](const QString& style) { return report_.unknownStyle(path, style); });
        const bool opened = text->Open(Q(path), DEFAULT_CHARSET);
        text->SetUnknownStyleQuestion(nullptr);  // it points into this call
        if (!opened) failed(text->LastError());
        if (opened && text->CountStreams() > 0) {
            *linked = path;
            *extraName = path + ".style";
            *extraIsLinked = false;
            return text;
        }
    }
    return nullptr;
}

int SubtitleLinker::LinkSubtitles(VideoFileEntry& entry) {
    objects_.clear();
    loadedNames_.clear();
    linkedPaths_.clear();
    lastError_ = SubtitleReadError();

    for (const std::string& candidate : candidates_) {
        if (std::find(loadedNames_.begin(), loadedNames_.end(), candidate) != loadedNames_.end()) continue;
        if (int(objects_.size()) >= kMaxSubtitleFiles) {
            LogLine("Sub: more than %d subtitle files, %s is left out", kMaxSubtitleFiles, candidate.c_str());
            continue;
        }
        std::string linked, extra;
        bool extraIsLinked = false;
        std::unique_ptr<ISubStream> object = Open(candidate, &linked, &extra, &extraIsLinked);
        if (!object) continue;  // no reader accepts it: left out silently
        if (linked.size() >= size_t(kMaxPath)) {
            // The entry has 260 bytes for the path; a cut path would name
            // some other file.
            LogLine("Sub: the path %s is longer than %d bytes, the subtitle is left out", linked.c_str(), kMaxPath - 1);
            continue;
        }
        loadedNames_.push_back(extra);
        if (extraIsLinked) linkedPaths_.push_back(linked);
        loadedNames_.push_back(candidate);
        if (!extraIsLinked) linkedPaths_.push_back(linked);
        objects_.push_back(std::move(object));
    }

    entry.selectedSubtitle = 0;
    for (int32_t& s : entry.selectedStream) s = 0;
    entry.useSubtitle = 0;
    entry.subtitleCount = int32_t(objects_.size());
    std::memset(entry.subtitlePaths, 0, sizeof entry.subtitlePaths);
    std::memset(entry.streamCounts, 0, sizeof entry.streamCounts);
    std::memset(entry.streamNames, 0, sizeof entry.streamNames);
    for (int i = 0; i < int(objects_.size()); ++i) {
        entry.useSubtitle = 1;
        ISubStream* sub = objects_[size_t(i)].get();
        const int count = sub->CountStreams();
        const int kept = std::clamp(count, 0, kMaxSubtitleStreams);
        LogLine("Sub %d, File = %s, StreamCount = %d", i, linkedPaths_[size_t(i)].c_str(), count);
        SetFieldText(entry.subtitlePaths[i], linkedPaths_[size_t(i)]);
        entry.streamCounts[i] = kept;
        if (count > kept) LogLine("Sub %d: only the first %d streams are kept", i, kMaxSubtitleStreams);
        for (int j = 0; j < kept; ++j) {
            WCHAR* name = nullptr;
            std::string text;
            if (sub->DescribeStream(j, &name, nullptr) == S_OK && name) {
                text = QString::fromUtf16(name).toLocal8Bit().toStdString();
                CoTaskMemFree(name);
            }
            LogLine("  Stream %d = %s", j, text.c_str());
            // A stream name is a label, not a path: one too long for its
            // field is cut, at a character boundary.
            size_t n = std::min(text.size(), size_t(kMaxPath - 1));
            while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
            text.resize(n);
            SetFieldText(entry.streamNames[i][j], text);
        }
    }
    return entry.subtitleCount;
}

int AutoLinkOne(VideoFileEntry& entry, const SubtitleReadReport& report) {
    const std::string path = FieldText(entry.fullPath);
    SubtitleLinker linker;
    linker.SetReport(report);
    linker.SetCandidates(FindSubtitleFiles(path, {FolderOf(path)}));
    return linker.LinkSubtitles(entry);
}

bool LinkSubtitleFile(VideoFileEntry& entry, const std::string& path, int stream, std::string* reason,
                      const SubtitleReadReport& report) {
    SubtitleLinker linker;
    linker.SetReport(report);
    linker.SetCandidates({path});
    if (linker.LinkSubtitles(entry) < 1) {
        if (reason) {
            *reason = "no subtitle reader accepts " + path;
            if (linker.LastReadError()) *reason += ": " + linker.LastReadError().text.trimmed().toStdString();
        }
        return false;
    }
    if (stream < 0 || stream >= entry.streamCounts[0]) {
        if (reason)
            *reason = path + " has no stream " + std::to_string(stream) + " (it has " +
                      std::to_string(entry.streamCounts[0]) + ")";
        return false;
    }
    entry.selectedStream[0] = stream;
    return true;
}

}  // namespace kalvex
