#include "media/TrackStore.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>

#include "common/ProgramLog.h"
#include "media/AtomicFile.h"

namespace kalvex {

namespace {

constexpr const char* kFormat = "Kalvex track choices";
constexpr int kVersion = 1;
// A companion file is a few hundred bytes per entry; anything far larger is
// not one of ours and is not read into memory.
constexpr qint64 kMaxStoreBytes = qint64(64) << 20;

// Paths are the file system's bytes, which need not be valid text: they are
// kept percent-encoded, so every byte comes back as it was.
QString PathText(const std::string& path) {
    return QString::fromLatin1(QByteArray::fromStdString(path).toPercentEncoding("/"));
}
std::string PathBytes(const QString& text) {
    return QByteArray::fromPercentEncoding(text.toLatin1()).toStdString();
}

QString Text(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string Bytes(const QJsonValue& v) { return v.toString().toStdString(); }

int Int(const QJsonValue& v) {
    const double d = v.toDouble(0);
    return d >= -2147483648.0 && d <= 2147483647.0 ? int(d) : 0;
}

std::optional<int64_t> Time(const QJsonValue& v) {
    bool ok = false;
    const qlonglong t = v.toString().toLongLong(&ok);
    return ok ? std::optional<int64_t>(int64_t(t)) : std::nullopt;
}

// The fields sound and subtitle tracks have in common.
template <class Track>
QJsonObject TrackJson(const Track& t) {
    return QJsonObject{{"number", t.number}, {"stream", t.streamIndex}, {"language", Text(t.language)},
                       {"codec", Text(t.codec)}, {"title", Text(t.title)}, {"default", t.isDefault},
                       {"decodable", t.decodable}};
}

template <class Track>
Track TrackFrom(const QJsonObject& o) {
    Track t;
    t.number = Int(o["number"]);
    t.streamIndex = Int(o["stream"]);
    t.language = Bytes(o["language"]);
    t.codec = Bytes(o["codec"]);
    t.title = Bytes(o["title"]);
    t.isDefault = o["default"].toBool();
    t.decodable = o["decodable"].toBool();
    return t;
}

QJsonObject SoundJson(const avs::SoundTrack& t) {
    QJsonObject o = TrackJson(t);
    o["channels"] = t.channels;
    o["rate"] = t.sampleRate;
    return o;
}

QJsonObject SubtitleJson(const avs::SubtitleTrack& t) {
    QJsonObject o = TrackJson(t);
    o["picture"] = t.picture;
    o["forced"] = t.forced;
    return o;
}

avs::SoundTrack SoundFrom(const QJsonObject& o) {
    avs::SoundTrack t = TrackFrom<avs::SoundTrack>(o);
    t.channels = Int(o["channels"]);
    t.sampleRate = Int(o["rate"]);
    return t;
}

avs::SubtitleTrack SubtitleFrom(const QJsonObject& o) {
    avs::SubtitleTrack t = TrackFrom<avs::SubtitleTrack>(o);
    t.picture = o["picture"].toBool();
    t.forced = o["forced"].toBool();
    return t;
}

// One record of the file, with the key it is found by.
struct Record {
    std::string path;
    int occurrence = 0;
    int64_t start = 0;
    int64_t end = 0;
    EntryTracks tracks;
    bool used = false;
};

// The records of a companion file; nothing when it is missing, too large or
// not a companion file.
std::optional<std::vector<Record>> ReadStore(const std::string& path) {
    QFile file(QFile::decodeName(QByteArray::fromStdString(path)));
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxStoreBytes) return std::nullopt;
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.read(kMaxStoreBytes), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject root = doc.object();
    if (root["format"].toString() != kFormat || !root["entries"].isArray()) return std::nullopt;
    std::vector<Record> records;
    for (const QJsonValue& v : root["entries"].toArray()) {
        const QJsonObject o = v.toObject();
        const auto start = Time(o["start"]);
        const auto end = Time(o["end"]);
        // A record without its key cannot be matched to an entry.
        if (!o["path"].isString() || !start || !end) continue;
        Record r;
        r.path = PathBytes(o["path"].toString());
        r.occurrence = Int(o["occurrence"]);
        r.start = *start;
        r.end = *end;
        r.tracks.choice = Sanitized(TrackChoice{Int(o["sound"]), Int(o["subtitle"]), o["forced"].toBool()});
        r.tracks.known = o["known"].toBool();
        for (const QJsonValue& t : o["soundTracks"].toArray()) r.tracks.tracks.sound.push_back(SoundFrom(t.toObject()));
        for (const QJsonValue& t : o["subtitleTracks"].toArray())
            r.tracks.tracks.subtitles.push_back(SubtitleFrom(t.toObject()));
        records.push_back(std::move(r));
    }
    return records;
}

}  // namespace

std::string TrackStorePath(const std::string& listPath) {
    const std::string dat = ".dat";
    if (listPath.size() > dat.size() && listPath.compare(listPath.size() - dat.size(), dat.size(), dat) == 0)
        return listPath.substr(0, listPath.size() - dat.size()) + ".tracks";
    return listPath + ".tracks";
}

bool SaveTrackStore(const VideoFileList& list, const std::string& path) {
    QJsonArray entries;
    std::map<std::string, int> seen;  // entries of each path so far
    for (int i = 0; i < list.Count(); ++i) {
        const VideoFileEntry& e = list.At(i);
        const EntryTracks& t = list.Tracks(i);
        const std::string full = FieldText(e.fullPath);
        QJsonArray sound, subtitles;
        for (const auto& s : t.tracks.sound) sound.append(SoundJson(s));
        for (const auto& s : t.tracks.subtitles) subtitles.append(SubtitleJson(s));
        entries.append(QJsonObject{{"path", PathText(full)},
                                   {"occurrence", seen[full]++},
                                   {"start", QString::number(qlonglong(e.startTime))},
                                   {"end", QString::number(qlonglong(e.endTime))},
                                   {"sound", t.choice.soundTrack},
                                   {"subtitle", t.choice.subtitleTrack},
                                   {"forced", t.choice.forcedOnly},
                                   {"known", t.known},
                                   {"soundTracks", sound},
                                   {"subtitleTracks", subtitles}});
    }
    const QByteArray bytes =
        QJsonDocument(QJsonObject{{"format", kFormat}, {"version", kVersion}, {"entries", entries}}).toJson();
    auto write = [&bytes](FILE* f) {
        return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f) == size_t(bytes.size());
    };
    auto whole = [](const std::string& p) { return ReadStore(p).has_value(); };
    return ReplaceFileKeepingBackup(path, FileListBackupPath(path), write, whole);
}

int LoadTrackStore(VideoFileList& list, const std::string& path) {
    std::optional<std::vector<Record>> records = ReadStore(path);
    if (!records) {
        const std::string backup = FileListBackupPath(path);
        records = ReadStore(backup);
        if (records)
            LogLine("%s is missing or damaged; the track choices come from %s", path.c_str(), backup.c_str());
        else
            return 0;
    }
    // An entry takes the first unused record of its path that agrees with
    // it best: occurrence and trim times, then the trim times (an entry
    // before it was removed), then the occurrence, then any.
    int found = 0;
    std::map<std::string, int> seen;
    for (int i = 0; i < list.Count(); ++i) {
        const VideoFileEntry& e = list.At(i);
        const std::string full = FieldText(e.fullPath);
        const int occurrence = seen[full]++;
        auto sameTimes = [&e](const Record& r) { return r.start == e.startTime && r.end == e.endTime; };
        auto sameOccurrence = [occurrence](const Record& r) { return r.occurrence == occurrence; };
        const std::function<bool(const Record&)> tests[] = {
            [&](const Record& r) { return sameOccurrence(r) && sameTimes(r); },
            sameTimes,
            sameOccurrence,
            [](const Record&) { return true; },
        };
        Record* match = nullptr;
        for (const auto& test : tests) {
            for (Record& r : *records)
                if (!r.used && r.path == full && test(r)) {
                    match = &r;
                    break;
                }
            if (match) break;
        }
        if (!match) continue;
        match->used = true;
        list.Tracks(i) = match->tracks;
        ++found;
    }
    return found;
}

}  // namespace kalvex
