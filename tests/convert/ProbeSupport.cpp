#include "tests/convert/ProbeSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "media/EntryFromPath.h"
#include "tests/support/TestEnv.h"

namespace kalvex::test {

Probe ProbeFile(const QString& path) {
    Probe p;
    QString out;
    int code = RunProgram("ffprobe", {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", "-count_frames", path},
                          &out);
    if (code != 0) return p;
    const QJsonObject root = QJsonDocument::fromJson(out.toUtf8()).object();
    p.format = root.value("format").toObject();
    for (const QJsonValue& v : root.value("streams").toArray()) {
        QJsonObject s = v.toObject();
        if (s.value("codec_type") == "video" && p.video.isEmpty()) p.video = s;
        if (s.value("codec_type") == "audio" && p.audio.isEmpty()) p.audio = s;
    }
    p.ok = !p.format.isEmpty();
    return p;
}

QStringList PictureTypes(const QString& path) {
    QString out;
    RunProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pict_type", "-of", "csv=p=0", path},
               &out);
    QStringList types;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) types << line.trimmed();
    return types;
}

VideoFileEntry ExaminedEntry(const QString& path) {
    VideoFileEntry e;
    SourceRefusal refusal;
    EXPECT_TRUE(MakeEntryFromPath(path.toStdString(), e, refusal)) << refusal.text;
    return e;
}

}  // namespace kalvex::test
