#include "tests/preview/PreviewFixtures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QString>

#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex::test {

std::string WriteScriptFile(const std::string& name, const std::string& text) {
    const std::string path = TestPath(QString::fromStdString(name)).toStdString();
    WriteFile(path, text);
    return path;
}

std::string MakePreviewScript(const std::string& name, double seconds, int width, int height, const std::string& fps,
                              int audioRate, const std::string& clipRate, int clipAudioRate) {
    const QString clip = MakeClip(QString::fromStdString(name + ".mkv"), seconds, width, height,
                                  QString::fromStdString(clipRate), clipAudioRate, 2);
    if (clip.isEmpty()) return {};
    std::string text = "DirectShowSource(\"" + clip.toStdString() + "\")\nConvertToYV12()\nChangeFPS(" + fps + ")\n";
    if (audioRate) text += "ResampleAudio(" + std::to_string(audioRate) + ")\n";
    return WriteScriptFile(name + ".avs", text);
}

GstElement* AppSinkChain(int pin, bool sync) {
    GstElement* sink = gst_element_factory_make("appsink", pin == 0 ? "sink0" : "sink1");
    g_object_set(sink, "sync", sync ? TRUE : FALSE, "max-buffers", 0u, "drop", FALSE, "emit-signals", FALSE, nullptr);
    return sink;
}

GstElement* FakeSinkChain(int pin, bool sync) {
    GstElement* sink = gst_element_factory_make("fakesink", pin == 0 ? "sink0" : "sink1");
    g_object_set(sink, "sync", sync ? TRUE : FALSE, nullptr);
    return sink;
}

bool WaitUntil(const std::function<bool()>& ready, int ms) {
    QElapsedTimer t;
    t.start();
    while (!ready()) {
        if (t.elapsed() > ms) return ready();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

GstElement* PictureOnlyChain(int pin) { return pin == 0 ? nullptr : FakeSinkChain(pin, true); }

std::string MakeQuarterClip(const std::string& name, double seconds, int width, int height) {
    const QString quarter = QString("s=%1x%2:r=25:d=%3").arg(width / 2).arg(height / 2).arg(seconds);
    const QString graph = QString("color=c=red:%1[a];color=c=lime:%1[b];color=c=blue:%1[c];color=c=yellow:%1[d];"
                                  "[a][b]hstack[t];[c][d]hstack[u];[t][u]vstack[out0]")
                              .arg(quarter);
    return MakeMedia(QString::fromStdString(name),
                     {"-f", "lavfi", "-i", graph, "-f", "lavfi", "-i",
                      QString("sine=sample_rate=44100:duration=%1").arg(seconds), "-pix_fmt", "yuv420p", "-c:v",
                      "mpeg4", "-q:v", "2"})
        .toStdString();
}

Hue HueOf(int r, int g, int b) {
    const auto hi = [](int v) { return v > 170; };
    const auto lo = [](int v) { return v < 80; };
    if (r < 40 && g < 40 && b < 40) return Hue::Black;
    if (hi(r) && lo(g) && lo(b)) return Hue::Red;
    if (lo(r) && hi(g) && lo(b)) return Hue::Green;
    if (lo(r) && lo(g) && hi(b)) return Hue::Blue;
    if (hi(r) && hi(g) && lo(b)) return Hue::Yellow;
    return Hue::Other;
}

const char* HueName(Hue h) {
    switch (h) {
        case Hue::Red: return "red";
        case Hue::Green: return "green";
        case Hue::Blue: return "blue";
        case Hue::Yellow: return "yellow";
        case Hue::Black: return "black";
        default: return "other";
    }
}

}  // namespace kalvex::test
