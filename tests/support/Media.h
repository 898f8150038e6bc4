#pragma once
#include <QString>
#include <QStringList>

namespace kalvex::test {

// Makes a media file with the ffmpeg tool (test fixtures are generated, not
// stored). `args` are ffmpeg arguments placed between the global options and
// the output path. Returns the output path, or an empty text on failure.
QString MakeMedia(const QString& fileName, const QStringList& args);

// A clip of testsrc2 video and a sine tone: seconds long, small picture.
QString MakeClip(const QString& fileName, double seconds = 2.0, int width = 320, int height = 240,
                 const QString& rate = "25", int audioRate = 44100, int channels = 2,
                 bool video = true, bool audio = true);

// A Matroska clip (MPEG-4 video, AAC sound) whose sound track is there, with
// its rate and channels in the container, but cannot be decoded. Broken
// decoder set-up: the track's AudioSpecificConfig names audio object type 0,
// so the decoder refuses to open. Otherwise: every sound packet is
// corrupted, so the decoder opens but no packet gives sound. Empty on
// failure.
enum class BrokenSound { DecoderSetUp, EveryPacket };
QString MakeClipWithBrokenSound(const QString& fileName, BrokenSound how, double seconds = 1.0);

}  // namespace kalvex::test
