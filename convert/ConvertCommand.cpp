#include "convert/ConvertCommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "app/MainMessages.h"
#include "common/AppSettings.h"
#include "convert/ConvertJob.h"
#include "media/ExamineSource.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/shell/Shell.h"
#include "platform/system/Folders.h"

namespace kalvex {

namespace {

const char* const kUsage = "usage: Kalvex --convert [--dest DIR] FILE...\n";

// The window side of a headless run: the controls are plain TextControls;
// every tick prints the current texts as one line, the title texts are taken
// and freed, and the finishing message ends the wait.
class ConsoleProgress : public QObject, public IMessageTarget {
public:
    ConsoleProgress() {
        targets.filesBar = &filesBar_;
        targets.frameBar = &frameBar_;
        targets.statusText = &status_;
        targets.elapsedText = &elapsed_;
        targets.estimateText = &estimate_;
        targets.filesText = &files_;
        targets.extraText = &extra_;
        targets.tickWindow = this;
    }

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM) override {
        switch (msg) {
            case WM_SET_TITLE_TEXT: std::free(reinterpret_cast<char*>(wParam)); break;
            case WM_CONVERT_TICK:
                std::printf("%s  %s  %s  %s\n", files_.Text().c_str(), status_.Text().c_str(), elapsed_.Text().c_str(),
                            estimate_.Text().c_str());
                std::fflush(stdout);
                break;
            case WM_CONVERT_FINISHED:
                finished = true;
                loop.quit();
                break;
            default: break;
        }
        return 0;
    }

    // The 1-based number of the file being converted.
    int CurrentFile() const { return filesBar_.Pos(); }

    ProgressTargets targets;
    QEventLoop loop;
    bool finished = false;

protected:
    bool event(QEvent* e) override {
        if (DispatchMessageEvent(e, this)) return true;
        return QObject::event(e);
    }

private:
    TextControl filesBar_, frameBar_, status_, elapsed_, estimate_, files_, extra_;
};

// Ctrl-C reaches the event loop through a pipe, the only thing a signal
// handler may safely do.
int g_signalPipe[2] = {-1, -1};
void OnInterrupt(int) {
    const char c = 1;
    ssize_t r = ::write(g_signalPipe[1], &c, 1);
    (void)r;
}

bool Examine(const QString& file, VideoFileEntry& entry, std::string& why) {
    const std::string path = QFileInfo(file).absoluteFilePath().toLocal8Bit().toStdString();
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    entry = ZeroEntry();
    if (!SetFieldText(entry.fullPath, path) || !SetFieldText(entry.fileName, name)) {
        why = "The path is too long: " + path;
        return false;
    }
    if (!QFileInfo(file).isFile()) {
        why = "No such file: " + path;
        return false;
    }
    std::string infoText;
    if (!ExamineSource(path, entry.mediaInfo, infoText, &why)) {
        if (why.empty()) why = "Could not use " + path + " as Input!";
        return false;
    }
    entry.startTime = 0;
    entry.endTime = entry.mediaInfo.duration;
    if (entry.endTime <= entry.startTime) {
        why = "Can't convert movie segment with length equal 0";
        return false;
    }
    MakeInfoText(entry);
    return true;
}

// Loads set.ini. Loading marks the first run as done, which belongs to the
// window's first start; a headless run keeps that mark as it found it.
void LoadSettingsKeepingFirstRun() {
    const std::string firstRun = GetPrivateProfileString("FirstTimeRun", "FirstTimeRun", "1", 20, SettingsPath());
    LoadSettings();
    if (std::atoi(firstRun.c_str()) != 0)
        WritePrivateProfileString("FirstTimeRun", "FirstTimeRun", firstRun, SettingsPath());
}

}  // namespace

int RunConvertCommand(const QStringList& argsIn) {
    QStringList args = argsIn;
    if (!args.isEmpty() && args.first() == "--convert") args.removeFirst();

    QString dest;
    bool haveDest = false;
    QStringList files;
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a == "--dest") {
            if (i + 1 >= args.size() || args[i + 1].isEmpty()) {
                std::fprintf(stderr, "--dest needs a folder\n%s", kUsage);
                return 2;
            }
            dest = args[++i];
            haveDest = true;
        } else if (!optionsEnded && a.startsWith("--dest=")) {
            dest = a.mid(7);
            if (dest.isEmpty()) {
                std::fprintf(stderr, "--dest needs a folder\n%s", kUsage);
                return 2;
            }
            haveDest = true;
        } else if (!optionsEnded && a.startsWith("-") && a != "-") {
            std::fprintf(stderr, "unknown option %s\n%s", qPrintable(a), kUsage);
            return 2;
        } else {
            files << a;
        }
    }
    if (files.isEmpty()) {
        std::fprintf(stderr, "no file to convert\n%s", kUsage);
        return 2;
    }

    std::unique_ptr<QCoreApplication> ownApp;
    static int argc = 1;
    static char name[] = "Kalvex";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) ownApp = std::make_unique<QCoreApplication>(argc, argv);

    // No window here: what would be a message box is a line on stderr.
    SetMessageBoxHook([](const MessageBoxRequest& r) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(r.caption), qPrintable(r.text));
        return IDOK;
    });

    LoadSettingsKeepingFirstRun();
    if (!haveDest) {
        std::string refusal;
        dest = QString::fromLocal8Bit(ReadDestPath(HomeFolder() + "dvd-vob/", &refusal).c_str());
        if (!refusal.empty()) {
            std::fprintf(stderr, "%s\n", refusal.c_str());
            SetMessageBoxHook(nullptr);
            return 1;
        }
    }
    dest = QFileInfo(dest).absoluteFilePath();
    if (!dest.endsWith('/')) dest += '/';
    if (!QDir().mkpath(dest)) {
        std::fprintf(stderr, "Could not create the destination folder %s\n", qPrintable(dest));
        SetMessageBoxHook(nullptr);
        return 1;
    }

    std::vector<VideoFileEntry> entries;
    std::vector<QString> sources;
    int refused = 0;
    for (const QString& file : files) {
        VideoFileEntry entry;
        std::string why;
        if (!Examine(file, entry, why)) {
            std::fprintf(stderr, "Failed: %s\n  %s\n", qPrintable(file), why.c_str());
            ++refused;
            continue;
        }
        entries.push_back(entry);
        sources.push_back(file);
    }

    int exitCode = refused ? 1 : 0;
    if (!entries.empty()) {
        ConsoleProgress console;
        QObject* oldMain = AppMainWindow();
        SetAppMainWindow(&console);

        bool interrupted = false;
        int stoppedFile = 0;  // the file being converted when the stop came
        std::unique_ptr<QSocketNotifier> notifier;
        struct sigaction oldAction {};
        if (::pipe(g_signalPipe) == 0) {
            notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
            struct sigaction action {};
            action.sa_handler = OnInterrupt;
            sigemptyset(&action.sa_mask);
            ::sigaction(SIGINT, &action, &oldAction);
        }

        const std::string destination = dest.toLocal8Bit().toStdString();
        {
            ConvertJob job;
            job.SetNotifyWindow(&console);
            job.SetProgressTargets(console.targets);
            if (notifier)
                QObject::connect(notifier.get(), &QSocketNotifier::activated, [&] {
                    char c;
                    ssize_t r = ::read(g_signalPipe[0], &c, 1);
                    (void)r;
                    if (!interrupted) {
                        std::fprintf(stderr, "Stopping: the current file is being ended.\n");
                        stoppedFile = std::max(1, console.CurrentFile());
                    }
                    interrupted = true;
                    job.Stop();
                });
            // The job takes only the folder part of this path.
            job.Start(entries, destination + "Tmp.mpg");
            if (!console.finished) console.loop.exec();
            const std::vector<bool> results = job.Results();
            for (size_t i = 0; i < entries.size(); ++i) {
                const bool ok = i < results.size() && results[i];
                const std::string output = ConvertJob::OutputPath(destination, FieldText(entries[i].fileName));
                if (ok && interrupted && int(i) + 1 == stoppedFile) {
                    // Ended early: a valid file, but not the whole source.
                    std::printf("Stopped: %s\n", output.c_str());
                } else if (interrupted && int(i) + 1 > stoppedFile) {
                    // Run through after the stop: an empty file, removed
                    // unless an earlier file of this run wrote the same path.
                    bool earlier = false;
                    for (size_t j = 0; j < i && int(j) + 1 <= stoppedFile; ++j)
                        earlier = earlier || ConvertJob::OutputPath(destination, FieldText(entries[j].fileName)) == output;
                    if (!earlier) ::unlink(output.c_str());
                    std::fprintf(stderr, "Not converted: %s\n", qPrintable(sources[i]));
                } else if (ok) {
                    std::printf("Converted: %s\n", output.c_str());
                } else {
                    std::fprintf(stderr, "Failed: %s\n", qPrintable(sources[i]));
                    exitCode = 1;
                }
            }
        }
        if (interrupted) exitCode = 1;
        if (notifier) {
            ::sigaction(SIGINT, &oldAction, nullptr);
            notifier.reset();
            ::close(g_signalPipe[0]);
            ::close(g_signalPipe[1]);
            g_signalPipe[0] = g_signalPipe[1] = -1;
        }
        SetAppMainWindow(oldMain);
    }
    std::fflush(stdout);
    SetMessageBoxHook(nullptr);
    return exitCode;
}

}  // namespace kalvex
