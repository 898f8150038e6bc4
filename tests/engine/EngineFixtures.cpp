#include "tests/engine/EngineFixtures.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <map>

#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex::test {

namespace {
// The temporary folder of the test program itself: each test's own folder
// goes away with the test, the shared media must not.
const QString gProgramTemp = qEnvironmentVariable("TMPDIR", "/tmp");
}  // namespace

std::string SharedMedia(const QString& name, const QStringList& args) {
    static QTemporaryDir dir(gProgramTemp + "/kalvex-media-XXXXXX");
    static std::map<QString, std::string> made;
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    QString path = MakeMedia(dir.path() + "/" + name, args);
    return made[name] = path.toStdString();
}

std::string NumberedClip(const QString& rate, int frames, int width, int height, int audioRate) {
    QString name = QString("numbered_%1_%2_%3x%4_%5.mov").arg(rate).arg(frames).arg(width).arg(height).arg(audioRate);
    name.replace('/', '-');
    QStringList parts = rate.split('/');
    double seconds = frames * (parts.size() == 2 ? parts[1].toDouble() / parts[0].toDouble() : 1.0 / rate.toDouble());
    QString audio = QString("aevalsrc=exprs='mod(n,2000)/4000|mod(n,2000)/4000':sample_rate=%1:duration=%2")
                        .arg(audioRate)
                        .arg(seconds, 0, 'f', 6);
    QString video = QString("color=c=black:s=%1x%2:r=%3:d=%4,geq=lum='if(lt(X,W/2),16+8*mod(N,25),16+8*floor(N/25))':cb=64:cr=192")
                        .arg(width).arg(height).arg(rate).arg(seconds, 0, 'f', 6);
    return SharedMedia(name, {"-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio, "-c:v", "libx264", "-qp", "0", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"});
}

int FrameNumber(const uint8_t* yv12, int width, int height) {
    int y = height / 2;
    int left = yv12[y * width + width / 4], right = yv12[y * width + 3 * width / 4];
    return int(std::lround((right - 16) / 8.0)) * 25 + int(std::lround((left - 16) / 8.0));
}

int RampPosition(int16_t value) { return int(std::lround(value / 8.192)); }

std::string WriteScript(const std::string& text, const std::string& name) {
    std::string path = TestRoot() + "/" + name;
    WriteFile(path, text);
    return path;
}

Opened::~Opened() {
    if (video) MyAVIStreamClose(video);
    if (audio) MyAVIStreamClose(audio);
    MyAVIFileExit();
}

bool Opened::Open(const std::string& scriptPath) {
    openResult = MyAVIFileOpen(scriptPath.c_str());
    if (openResult != 0) return false;
    const char* text = nullptr;
    if (MyAVIFileGetError(&text)) error = text ? text : "";
    if (MyAVIFileGetStream(&video, streamtypeVIDEO, 0) == 0) {
        AVIStreamInfoA(video, &videoInfo, sizeof videoInfo);
        LONG size = sizeof header;
        AVIStreamReadFormat(video, 0, &header, &size);
    }
    if (MyAVIFileGetStream(&audio, streamtypeAUDIO, 0) == 0) {
        AVIStreamInfoA(audio, &audioInfo, sizeof audioInfo);
        LONG size = sizeof format;
        AVIStreamReadFormat(audio, 0, &format, &size);
    }
    return error.empty();
}

std::vector<uint8_t> Opened::Frame(long n) {
    std::vector<uint8_t> buffer(header.biSizeImage);
    LONG bytes = 0, frames = 0;
    if (AVIStreamRead(video, LONG(n), 1, buffer.data(), LONG(buffer.size()), &bytes, &frames) != 0 || bytes != LONG(buffer.size()))
        buffer.clear();
    return buffer;
}

std::vector<int16_t> Opened::Audio(long start, long count) {
    std::vector<int16_t> buffer(size_t(count) * format.nChannels);
    LONG bytes = 0, samples = 0;
    AVIStreamRead(audio, LONG(start), LONG(count), buffer.data(), LONG(buffer.size() * 2), &bytes, &samples);
    buffer.resize(size_t(samples) * format.nChannels);
    return buffer;
}

std::vector<uint8_t> ScriptFrame(avs::Script& script, long n) {
    std::vector<uint8_t> buffer(script.VideoHeader().biSizeImage);
    LONG bytes = 0, frames = 0;
    if (script.ReadVideo(LONG(n), 1, buffer.data(), LONG(buffer.size()), &bytes, &frames) != 0 ||
        bytes != LONG(buffer.size()))
        buffer.clear();
    return buffer;
}

std::vector<std::vector<uint8_t>> AllFrames(const std::string& scriptPath, const avs::OpenOptions& options) {
    avs::OpenResult opened = avs::OpenScriptFile(scriptPath, options);
    std::vector<std::vector<uint8_t>> frames;
    if (!opened.script) {
        ADD_FAILURE() << "open: " << opened.error;
        return frames;
    }
    for (long n = 0; n < long(opened.script->VideoInfo().dwLength); ++n) frames.push_back(ScriptFrame(*opened.script, n));
    return frames;
}

}  // namespace kalvex::test
