#pragma once
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "convert/EncodeToPsp.h"
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

// The longest run of pictures after a key picture among `types`.
int LongestRunAfterAKey(const QStringList& types);

// Expects what the PSP plays at the default settings: MP4 with MPEG-4
// Simple Profile video of 368x208 at 25 fps, BT.601 limited range,
// `frames` pictures, no B pictures and a key picture at least every
// `keyEvery` (12 by default; best quality's 50 is two seconds); AAC-LC
// stereo at 24 kHz.
void ExpectDefaultPspFile(const QString& path, int frames, int keyEvery = 12);

// An entry for a source examined as the Video Files page would add it
// (untrimmed). Fails the test when the source is refused.
VideoFileEntry ExaminedEntry(const QString& path);

// A request to convert the entry to `out` with the settings and bit rates
// of AppSettings.convert, as a run makes it.
EncodeRequest RequestFromSettings(const VideoFileEntry& e, const QString& out);

}  // namespace kalvex::test
