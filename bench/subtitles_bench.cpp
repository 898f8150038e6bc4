// Open times of the subtitle readers on large generated files: a two-hour
// SubRip file of 2,000 entries and a VobSub pair of 2,000 pictures with a
// ".sub" of about 30 MB. Prints the median of several opens of each.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/ui/Dialogs.h"
#include "subtitles/RTS.h"
#include "subtitles/VobSubFile.h"
#include "samples/SubtitleSamples.h"

using namespace kalvex;

namespace {

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <typename F>
double MedianMs(int runs, F&& f) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetMessageBoxHook([](const MessageBoxRequest&) { return IDOK; });
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString() + "/";

    // SubRip: 2,000 entries over two hours, two lines each, some tags.
    std::string srt;
    for (int i = 0; i < 2000; ++i) {
        long long start = i * 3600LL, end = start + 2500;
        char times[96];
        std::snprintf(times, sizeof times, "%02lld:%02lld:%02lld,%03lld --> %02lld:%02lld:%02lld,%03lld", start / 3600000,
                      start / 60000 % 60, start / 1000 % 60, start % 1000, end / 3600000, end / 60000 % 60,
                      end / 1000 % 60, end % 1000);
        srt += std::to_string(i + 1) + "\r\n" + times + "\r\n<i>Line one of entry " + std::to_string(i + 1) +
               "</i>\r\nand the second line, a little longer than the first.\r\n\r\n";
    }
    Write(root + "movie.eng.srt", srt);

    // VobSub: 2,000 pictures of about 15 KB each in one slot.
    std::vector<std::uint8_t> sub;
    std::string idx = samples::kIdxHeader;
    idx += "id: en, index: 0\n";
    for (int i = 0; i < 2000; ++i) {
        std::uint64_t pos = samples::AppendSpuPacks(sub, 0, samples::MakeSpu(200, false, 15000));
        idx += samples::TimestampLine(i * 3600LL, pos);
    }
    Write(root + "movie.idx", idx);
    Write(root + "movie.sub", std::string(sub.begin(), sub.end()));

    int entries = 0, streams = 0;
    double srtMs = MedianMs(9, [&] {
        CRenderedTextSubtitle rts;
        rts.Open(QString::fromStdString(root + "movie.eng.srt"), DEFAULT_CHARSET);
        entries = rts.GetCount();
    });
    double vobMs = MedianMs(9, [&] {
        CVobSubFile vob;
        vob.Open(QString::fromStdString(root + "movie.idx"));
        streams = vob.CountStreams();
    });
    std::printf("SubRip, 2 hours, %d entries (%zu bytes): open %.2f ms (target < 50 ms)\n", entries, srt.size(), srtMs);
    std::printf("VobSub, 2000 pictures, %d stream(s), .sub %.1f MB: open %.2f ms (target < 200 ms)\n", streams,
                sub.size() / 1048576.0, vobMs);
    return (entries == 2000 && streams == 1) ? 0 : 1;
}
