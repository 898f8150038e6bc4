#include "tests/support/Media.h"

#include <QFile>

#include "tests/support/TestEnv.h"

namespace kalvex::test {

QString MakeMedia(const QString& fileName, const QStringList& args) {
    QString out = fileName.startsWith('/') ? fileName : TestPath(fileName);
    QStringList all{"-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
    all << args << out;
    QString text;
    if (RunProgram("ffmpeg", all, &text, 300000) != 0 || !QFile::exists(out)) {
        qWarning("ffmpeg failed: %s", qPrintable(text));
        return {};
    }
    return out;
}

QString MakeClip(const QString& fileName, double seconds, int width, int height, const QString& rate,
                 int audioRate, int channels, bool video, bool audio) {
    QStringList args;
    QString dur = QString::number(seconds);
    if (video)
        args << "-f" << "lavfi" << "-i"
             << QString("testsrc2=size=%1x%2:rate=%3:duration=%4").arg(width).arg(height).arg(rate, dur);
    if (audio) {
        QString layout = channels == 1 ? "mono" : channels == 2 ? "stereo" : channels == 6 ? "5.1" : QString("%1c").arg(channels);
        args << "-f" << "lavfi" << "-i"
             << QString("sine=frequency=440:sample_rate=%1:duration=%2").arg(audioRate).arg(dur);
        args << "-af" << QString("aformat=channel_layouts=%1").arg(layout);
    }
    if (video) args << "-pix_fmt" << "yuv420p";
    return MakeMedia(fileName, args);
}

QString MakeClipWithBrokenSound(const QString& fileName, BrokenSound how, double seconds) {
    const QString dur = QString::number(seconds);
    QStringList args{"-f", "lavfi", "-i", QString("testsrc2=size=160x120:rate=25:duration=%1").arg(dur),
                     "-f", "lavfi", "-i", QString("sine=frequency=440:sample_rate=44100:duration=%1").arg(dur),
                     "-pix_fmt", "yuv420p", "-c:v", "mpeg4", "-c:a", "aac", "-ac", "2"};
    // The noise filter with amount 1 changes every byte of every packet.
    if (how == BrokenSound::EveryPacket) args << "-bsf:a" << "noise=amount=1";
    const QString out = MakeMedia(fileName, args);
    if (out.isEmpty() || how == BrokenSound::EveryPacket) return out;
    QFile f(out);
    if (!f.open(QIODevice::ReadWrite)) return {};
    QByteArray bytes = f.readAll();
    // The sound track's CodecPrivate element (id 63 A2, then its size as a
    // one-byte number 0x80 | n) after its codec id: the AudioSpecificConfig,
    // object type in the first five bits.
    const qsizetype codec = bytes.indexOf("A_AAC");
    const qsizetype priv = codec < 0 ? -1 : bytes.indexOf(QByteArray("\x63\xA2", 2), codec);
    if (priv < 0 || priv + 5 > bytes.size()) return {};
    const uchar size = uchar(bytes[priv + 2]);
    if (!(size & 0x80) || (size & 0x7F) < 2) return {};
    bytes[priv + 3] = 0;
    bytes[priv + 4] = 0;
    if (!f.seek(0) || f.write(bytes) != bytes.size()) return {};
    return out;
}

}  // namespace kalvex::test
