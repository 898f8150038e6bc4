#include "tests/preview/PreviewFixtures.h"

#include <QFile>
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

}  // namespace kalvex::test
