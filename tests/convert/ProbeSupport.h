#pragma once
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "media/VideoFileEntry.h"

namespace kalvex::test {

// What ffprobe says about a file: the format and its first video and audio
// streams (empty objects when missing). ok is false when ffprobe could not
// read the file.
struct Probe {
    bool ok = false;
    QJsonObject format;
    QJsonObject video;
    QJsonObject audio;
    double Number(const QJsonObject& o, const char* key) const { return o.value(key).toString().toDouble(); }
};
Probe ProbeFile(const QString& path);

// Picture types of the video stream in decoding order ("I", "P", "B").
QStringList PictureTypes(const QString& path);

// An entry for a source examined as the Video Files page would add it
// (untrimmed). Fails the test when the source is refused.
VideoFileEntry ExaminedEntry(const QString& path);

}  // namespace kalvex::test
