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

}  // namespace kalvex::test
