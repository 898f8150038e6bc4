// Figures for the Video Files page: loading and showing a long filesv2.dat,
// and adding many files at once.
//   filelist_bench [entries=1000] [files=20]
#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTreeView>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/page/CAddFilePage.h"
#include "media/ExamineSource.h"
#include "media/VideoFileList.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"

using namespace kalvex;
using Clock = std::chrono::steady_clock;

static double Ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

int main(int argc, char** argv) {
    QTemporaryDir root(QDir::tempPath() + "/kalvex-bench-XXXXXX");
    setenv("XDG_DATA_HOME", qPrintable(root.path() + "/data"), 1);
    setenv("XDG_CONFIG_HOME", qPrintable(root.path() + "/config"), 1);
    setenv("KALVEX_REGISTRY_DIR", qPrintable(root.path() + "/registry"), 1);
    setenv("XDG_RUNTIME_DIR", qPrintable(root.path()), 1);
    if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int entries = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int files = argc > 2 ? std::atoi(argv[2]) : 20;
    SetSettingsPath(AppDataFolder() + "set.ini");
    SetHintDialogHook([](const QString&, const QString&) { return false; });
    SetMessageBoxHook([](const MessageBoxRequest& r) {
        std::fprintf(stderr, "box: %s\n", qPrintable(r.text));
        return IDOK;
    });

    // 1. A list of `entries` full records.
    {
        VideoFileList list;
        for (int i = 0; i < entries; ++i) {
            VideoFileEntry e = ZeroEntry();
            std::snprintf(e.fullPath, sizeof e.fullPath, "/videos/movie %04d.avi", i);
            std::snprintf(e.fileName, sizeof e.fileName, "movie %04d.avi", i);
            e.mediaInfo.width = 640;
            e.mediaInfo.height = 480;
            e.mediaInfo.fps = 25;
            e.mediaInfo.duration = int64_t(i + 1) * 10000000;
            e.endTime = e.mediaInfo.duration;
            MakeInfoText(e, 0);
            list.Append(e);
        }
        list.Save(FileListPath());
        std::printf("filesv2.dat: %d entries, %.1f MB\n", entries,
                    double(QFileInfo(QString::fromStdString(FileListPath())).size()) / 1e6);
    }
    {
        auto t0 = Clock::now();
        VideoFileList list;
        const int n = list.Load(FileListPath());
        std::printf("filesv2.dat read alone: %d entries in %.1f ms\n", n, Ms(t0));
    }
    {
        auto t0 = Clock::now();
        CAddFilePage page;
        const double load = Ms(t0);
        page.resize(1000, 700);
        page.show();
        QApplication::processEvents();
        std::printf("page created with %d rows (load + rows): %.1f ms; shown: %.1f ms total\n",
                    page.ListControl()->model()->rowCount(), load, Ms(t0));
        t0 = Clock::now();
        const std::vector<VideoFileEntry> copies = page.Entries();
        std::printf("copy of the whole list for the Convert page: %zu entries in %.1f ms\n", copies.size(), Ms(t0));
        t0 = Clock::now();
        page.SelectRows({0});
        page.MoveDown();
        std::printf("move one row down in %d: %.2f ms\n", page.Count(), Ms(t0));
        page.ClearAll();  // the destructor writes an empty list
    }

    // 2. Adding `files` files at once.
    QStringList paths;
    for (int i = 0; i < files; ++i) {
        const QString out = root.path() + QString("/clip%1.mp4").arg(i);
        QProcess ff;
        ff.start("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                            "testsrc2=size=320x240:rate=25:duration=2", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=44100:duration=2", "-pix_fmt", "yuv420p", out});
        ff.waitForFinished(120000);
        paths << out;
    }
    std::map<std::string, int> examinations;
    {
        CAddFilePage page;
        page.SetExaminer([&examinations](const std::string& path, MediaInfo& info, SourceRefusal&) {
            ++examinations[path];
            std::string text;
            return ExamineSource(path, info, text);
        });
        SetOpenFileDialogHook([&paths](const FileDialogRequest&) { return paths; });
        auto t0 = Clock::now();
        page.AddFiles();
        const double ms = Ms(t0);
        int most = 0;
        for (const auto& [path, n] : examinations) most = std::max(most, n);
        std::printf("added %d of %d files in %.0f ms (%.1f ms per file); examinations per file: at most %d\n",
                    page.Count(), files, ms, ms / files, most);
        page.ClearAll();
    }
    return 0;
}
