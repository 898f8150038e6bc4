#include "app/cli/ConvertCommand.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <unistd.h>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "convert/ConvertJob.h"
#include "convert/PspOutputList.h"
#include "convert/RunPolicy.h"
#include "convert/page/ProgressTexts.h"
#include "convert/psp/PspDetect.h"
#include "convert/psp/PspFit.h"
#include "media/EntryFromPath.h"
#include "media/SubtitleLinker.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "platform/system/TempFiles.h"

namespace kalvex {

namespace {

const char* const kUsage =
    "usage: Kalvex --convert [--dest DIR] [--quiet] [--avc] [--fit-psp] [[--subtitle SUB[:STREAM] | --subtitle-track N|LANG|forced] "
    "[--audio-track N|LANG] FILE]...\n";

// Ctrl-C and the end of the run both reach the waiting main thread through
// one pipe: writing a byte is all a signal handler may safely do.
int g_wakePipe[2] = {-1, -1};
constexpr char kInterrupt = 'I';
constexpr char kFinished = 'F';

// The subtitle readers' messages as lines on stderr: a reader's reason for
// refusing a subtitle (when asked for), and each undefined style once per file.
SubtitleReadReport ConsoleSubtitleReport(bool withFailures) {
    SubtitleReadReport report;
    if (withFailures)
        report.failed = [](const std::string& path, const SubtitleReadError& error) {
            std::fprintf(stderr, "Subtitle %s: %s\n", path.c_str(), qPrintable(error.text.trimmed()));
        };
    auto seen = std::make_shared<std::set<std::pair<std::string, QString>>>();
    report.unknownStyle = [seen](const std::string& path, const QString& style) {
        if (seen->insert({path, style}).second)
            std::fprintf(stderr, "Subtitle %s: unknown style \"%s\", changed to \"Default\"\n", path.c_str(),
                         qPrintable(style));
        return true;
    };
    return report;
}

void OnInterrupt(int) {
    const char c = kInterrupt;
    ssize_t r = ::write(g_wakePipe[1], &c, 1);
    (void)r;
}

// Prints the run's progress and results. Called on the job's thread.
class ConsoleObserver : public ConvertObserver {
public:
    ConsoleObserver(bool quiet, bool terminal) : quiet_(quiet), terminal_(terminal) {}

    void OnProgress(const ConvertProgress& p) override {
        if (quiet_) return;
        std::lock_guard lock(mutex_);
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3d%%", p.Percent());
        const std::string line = std::string(percent) + "  " + FilesText(p) + "  " + StatusText(p) + "  " +
                                 ElapsedText(p) + "  " + EstimateText(p);
        if (terminal_) {
            // One line, rewritten in place.
            std::printf("\r%s\033[K", line.c_str());
            lineOpen_ = true;
        } else {
            std::printf("%s\n", line.c_str());
        }
        std::fflush(stdout);
    }

    void OnFileDone(const FileResult& r) override {
        std::lock_guard lock(mutex_);
        EndLine();
        switch (r.outcome) {
            case FileOutcome::Converted: std::printf("Converted: %s\n", r.output.c_str()); break;
            case FileOutcome::Failed: std::fprintf(stderr, "Failed: %s\n  %s\n", r.source.c_str(), r.reason.c_str()); break;
            case FileOutcome::Stopped: std::fprintf(stderr, "Not converted: %s\n", r.source.c_str()); break;
        }
        std::fflush(stdout);
    }

    void OnFinished(const RunSummary& summary) override {
        {
            std::lock_guard lock(mutex_);
            EndLine();
            summary_ = summary;
        }
        const char c = kFinished;
        ssize_t r = ::write(g_wakePipe[1], &c, 1);
        (void)r;
    }

    RunSummary Summary() {
        std::lock_guard lock(mutex_);
        return summary_;
    }

private:
    void EndLine() {
        if (lineOpen_) std::printf("\n");
        lineOpen_ = false;
    }

    const bool quiet_;
    const bool terminal_;
    std::mutex mutex_;
    bool lineOpen_ = false;
    RunSummary summary_;
};

// Loads set.ini. Loading marks the first run as done, which belongs to the
// window's first start; a headless run keeps that mark as it found it.
void LoadSettingsKeepingFirstRun() {
    const std::string firstRun = GetPrivateProfileString("FirstTimeRun", "FirstTimeRun", "1", 20, SettingsPath());
    LoadSettings();
    if (std::atoi(firstRun.c_str()) != 0)
        WritePrivateProfileString("FirstTimeRun", "FirstTimeRun", firstRun, SettingsPath());
}

// A subtitle given for the file after it: the file and, after the last
// ':' when only digits follow, the stream (0 otherwise).
struct SubtitleChoice {
    QString file;
    int stream = 0;
    static SubtitleChoice Parse(const QString& text) {
        SubtitleChoice c{text, 0};
        const int colon = text.lastIndexOf(':');
        if (colon > 0 && colon + 1 < text.size()) {
            bool ok = false;
            const int n = text.mid(colon + 1).toInt(&ok);
            if (ok && n >= 0 && text.mid(colon + 1).indexOf(QRegularExpression("[^0-9]")) < 0) {
                c.file = text.left(colon);
                c.stream = n;
            }
        }
        return c;
    }
};

// The tracks asked for the file after them, as written ("2", "jpn", "forced").
struct TrackRequest {
    std::optional<std::string> sound;
    std::optional<std::string> subtitle;
};

struct Arguments {
    QString dest;
    bool haveDest = false;
    bool quiet = false;
    bool avc = false;  // H.264/AVC instead of the codec of set.ini
    bool fitPsp = false;  // the video bit rate chosen so the batch fits the PSP
    QStringList files;
    std::vector<std::optional<SubtitleChoice>> subtitles;  // one per file
    std::vector<TrackRequest> tracks;                      // one per file
};

// The value of an option given as "--name VALUE" or "--name=VALUE" at
// args[i] (i moves past a separate value). False when there is none.
bool OptionValue(const QStringList& args, int& i, const QString& name, QString* value) {
    const QString& a = args[i];
    if (a == name) {
        if (i + 1 >= args.size()) return false;
        *value = args[++i];
    } else {
        *value = a.mid(name.size() + 1);
    }
    return !value->isEmpty();
}

// The tracks chosen on the command line for one examined file, by the
// rules of the engine's track list. False with the reason when the file has
// no such track.
bool ChooseTracks(const TrackRequest& request, EntryTracks& tracks, VideoFileEntry& entry, std::string* why) {
    std::string error;
    if (request.sound) {
        const int n = avs::PickSoundTrack(tracks.tracks, *request.sound, &error);
        if (n == 0) {
            *why = "--audio-track " + *request.sound + ": " + error;
            return false;
        }
        tracks.choice.soundTrack = n;
    }
    if (request.subtitle) {
        bool forced = false;
        const int n = avs::PickSubtitleTrack(tracks.tracks, *request.subtitle, &forced, &error);
        if (n == 0) {
            *why = "--subtitle-track " + *request.subtitle + ": " + error;
            return false;
        }
        tracks.choice.subtitleTrack = n;
        tracks.choice.forcedOnly = forced;
        entry.useSubtitle = 1;  // asked for: burned in
    }
    return true;
}

// False (after printing why) for arguments that make no command.
bool ParseArguments(QStringList args, Arguments& out) {
    if (!args.isEmpty() && args.first() == "--convert") args.removeFirst();
    bool optionsEnded = false;
    std::optional<SubtitleChoice> pending;
    TrackRequest pendingTracks;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (a == "--subtitle" || a.startsWith("--subtitle="))) {
            QString value;
            if (a == "--subtitle") {
                if (i + 1 >= args.size()) {
                    std::fprintf(stderr, "--subtitle needs a subtitle file\n%s", kUsage);
                    return false;
                }
                value = args[++i];
            } else {
                value = a.mid(11);
            }
            if (value.isEmpty()) {
                std::fprintf(stderr, "--subtitle needs a subtitle file\n%s", kUsage);
                return false;
            }
            pending = SubtitleChoice::Parse(value);
        } else if (!optionsEnded && (a == "--audio-track" || a.startsWith("--audio-track="))) {
            QString value;
            if (!OptionValue(args, i, "--audio-track", &value)) {
                std::fprintf(stderr, "--audio-track needs a track number or a language code\n%s", kUsage);
                return false;
            }
            pendingTracks.sound = value.toStdString();
        } else if (!optionsEnded && (a == "--subtitle-track" || a.startsWith("--subtitle-track="))) {
            QString value;
            if (!OptionValue(args, i, "--subtitle-track", &value)) {
                std::fprintf(stderr, "--subtitle-track needs a track number, a language code or \"forced\"\n%s",
                             kUsage);
                return false;
            }
            pendingTracks.subtitle = value.toStdString();
        } else if (!optionsEnded && a == "--quiet") {
            out.quiet = true;
        } else if (!optionsEnded && a == "--avc") {
            out.avc = true;
        } else if (!optionsEnded && a == "--fit-psp") {
            out.fitPsp = true;
        } else if (!optionsEnded && (a == "--dest" || a.startsWith("--dest="))) {
            if (a == "--dest") {
                if (i + 1 >= args.size()) {
                    std::fprintf(stderr, "--dest needs a folder\n%s", kUsage);
                    return false;
                }
                out.dest = args[++i];
            } else {
                out.dest = a.mid(7);
            }
            if (out.dest.isEmpty()) {
                std::fprintf(stderr, "--dest needs a folder\n%s", kUsage);
                return false;
            }
            out.haveDest = true;
        } else if (!optionsEnded && a.startsWith("-") && a != "-") {
            std::fprintf(stderr, "unknown option %s\n%s", qPrintable(a), kUsage);
            return false;
        } else {
            if (pending && pendingTracks.subtitle) {
                std::fprintf(stderr, "--subtitle and --subtitle-track both given for %s: choose one\n%s",
                             qPrintable(a), kUsage);
                return false;
            }
            out.files << a;
            out.subtitles.push_back(pending);
            out.tracks.push_back(pendingTracks);
            pending.reset();
            pendingTracks = {};
        }
    }
    if (pending) {
        std::fprintf(stderr, "--subtitle must come before the file it is for\n%s", kUsage);
        return false;
    }
    if (pendingTracks.sound || pendingTracks.subtitle) {
        std::fprintf(stderr, "%s must come before the file it is for\n%s",
                     pendingTracks.sound ? "--audio-track" : "--subtitle-track", kUsage);
        return false;
    }
    if (out.files.isEmpty()) {
        std::fprintf(stderr, "no file to convert\n%s", kUsage);
        return false;
    }
    return true;
}

// Runs the job and waits for its end; Ctrl-C stops it. True when the run
// was interrupted.
bool RunAndWait(ConvertJob& job, RunRequest request, ConsoleObserver& observer) {
    struct sigaction oldAction {};
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &oldAction);

    bool interrupted = false;
    job.Start(std::move(request), &observer);
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(g_wakePipe[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == kFinished) break;
        if (c == kInterrupt && !interrupted) {
            interrupted = true;
            std::fprintf(stderr, "\nStopping: the current file is being ended.\n");
            LogLine("[------------- User Stopped Convert -------------]");
            job.Stop();
        }
    }
    job.Wait();
    ::sigaction(SIGINT, &oldAction, nullptr);
    return interrupted;
}

// --fit-psp: finds the PSP as the Convert page does (once: nobody is asked
// to plug it in) and chooses the video bit rate that fits the segments into
// its free space. False, after printing why, when there is no PSP or the
// batch does not fit even at the lowest rate.
bool FitToPsp(const std::vector<VideoFileEntry>& segments, ConvertSettings& settings) {
    const PspDetection found = DetectPsp();
    if (found.result != PspDetectResult::Found) {
        std::fprintf(stderr, "%s\n", found.result == PspDetectResult::NoPsp ? kFitNoPspText : kFitNotMountedText);
        return false;
    }
    const RunFit fit = FitRunToPsp(segments, settings, found.location.root);
    if (!fit.measured) {
        std::fprintf(stderr, "The free space of the PSP cannot be read: %s\n", fit.reason.c_str());
        return false;
    }
    if (!fit.result.fits) {
        std::fprintf(stderr, "%s\n", FitRefusalText(fit.result).c_str());
        return false;
    }
    settings.videoBitrate = fit.result.videoBitrate;
    std::printf("%s\n", FitChosenText(fit.result).c_str());
    std::fflush(stdout);
    return true;
}

}  // namespace

int RunConvertCommand(const QStringList& argsIn) {
    Arguments args;
    if (!ParseArguments(argsIn, args)) return 2;

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
    if (args.avc) ChooseAvc(AppSettings.convert, PspPictureSizeStored());
    std::string dest;
    if (args.haveDest) {
        dest = QFile::encodeName(args.dest).toStdString();
    } else {
        std::string refusal;
        dest = ConvertPageSettings::Load(&refusal).destPath;
        if (!refusal.empty()) {
            std::fprintf(stderr, "%s\n", refusal.c_str());
            SetMessageBoxHook(nullptr);
            return 1;
        }
    }
    dest = QFile::encodeName(QFileInfo(QFile::decodeName(dest.c_str())).absoluteFilePath()).toStdString();
    int exitCode = 0;
    std::string why;
    if (!PrepareDestination(dest, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        SetMessageBoxHook(nullptr);
        return 1;
    }

    std::vector<VideoFileEntry> entries;
    std::vector<TrackChoice> choices;  // beside entries
    for (int i = 0; i < args.files.size(); ++i) {
        const std::string path = QFile::encodeName(QFileInfo(args.files[i]).absoluteFilePath()).toStdString();
        const std::optional<SubtitleChoice>& chosen = args.subtitles[size_t(i)];
        // Subtitles beside the file are linked as the page links them; a
        // subtitle given for the file replaces them.
        std::string subtitleWhy;
        EntryLinker linker = [&](VideoFileEntry& e) {
            if (!chosen) {
                AutoLinkOne(e, ConsoleSubtitleReport(true));
                return;
            }
            // A refused subtitle's reason is part of subtitleWhy.
            const std::string sub = QFile::encodeName(QFileInfo(chosen->file).absoluteFilePath()).toStdString();
            if (!LinkSubtitleFile(e, sub, chosen->stream, &subtitleWhy, ConsoleSubtitleReport(false)) &&
                subtitleWhy.empty())
                subtitleWhy = "the subtitle " + sub + " could not be linked";
        };
        VideoFileEntry entry;
        EntryTracks tracks;
        SourceRefusal refusal;
        if (!MakeEntryFromPath(path, entry, refusal, {}, linker, AppSettings.timeFormat, &tracks)) {
            std::fprintf(stderr, "Failed: %s\n  %s\n", path.c_str(), RefusalText(refusal).c_str());
            exitCode = 1;
            continue;
        }
        if (!subtitleWhy.empty()) {
            // Converting without the subtitle asked for is not what was asked.
            std::fprintf(stderr, "Failed: %s\n  %s\n", path.c_str(), subtitleWhy.c_str());
            exitCode = 1;
            continue;
        }
        std::string trackWhy;
        if (!ChooseTracks(args.tracks[size_t(i)], tracks, entry, &trackWhy)) {
            // A track the file does not have: this file is not converted.
            std::fprintf(stderr, "Failed: %s\n  %s\n", path.c_str(), trackWhy.c_str());
            exitCode = 1;
            continue;
        }
        entries.push_back(entry);
        choices.push_back(tracks.choice);
    }

    // The same checks as the Convert page's Start.
    std::vector<std::string> refused;
    std::vector<VideoFileEntry> segments = SegmentsToConvert(entries, &refused);
    const std::vector<TrackChoice> segmentTracks = SegmentTrackChoices(entries, choices);
    for (const auto& n : refused) {
        std::fprintf(stderr, "Failed: %s\n  %s\n", n.c_str(), kZeroLengthText);
        exitCode = 1;
    }
    if (!segments.empty() && AppSettings.videoAutoDetect &&
        CheckTotalLength(segments, AppSettings.videoBitrateMaximal).refused) {
        std::fprintf(stderr, "%s\n", kTooLongText);
        segments.clear();
        exitCode = 1;
    }

    // The rate chosen for the PSP is for this run only: set.ini keeps its own.
    ConvertSettings runSettings = AppSettings.convert;
    if (!segments.empty() && args.fitPsp && !FitToPsp(segments, runSettings)) {
        segments.clear();
        exitCode = 1;
    }

    if (!segments.empty()) {
        if (::pipe(g_wakePipe) != 0) {
            std::fprintf(stderr, "Could not start the conversion: %s\n", std::strerror(errno));
            SetMessageBoxHook(nullptr);
            return 1;
        }
        ConsoleObserver observer(args.quiet, ::isatty(STDOUT_FILENO) != 0);
        ConvertJob job;
        RunRequest request;
        request.files = segments;
        request.tracks = segmentTracks;
        request.destinationFolder = dest;
        request.settings = runSettings;
        request.lowPriority = ConvertPageSettings::Load().lowCpu != 0;
        const bool interrupted = RunAndWait(job, std::move(request), observer);
        ::close(g_wakePipe[0]);
        ::close(g_wakePipe[1]);
        g_wakePipe[0] = g_wakePipe[1] = -1;

        const RunSummary summary = observer.Summary();
        const WindUp w = WindUpRun(summary, interrupted, AppSettings.removeMethod);
        if (!w.removalFailure.empty()) std::fprintf(stderr, "%s\n", w.removalFailure.c_str());
        if (!w.message.empty()) std::fprintf(stderr, "%s\n", w.message.c_str());
        ClearOutputs();
        if (w.end != RunEnd::Succeeded || !summary.Failed().empty()) exitCode = 1;
    }
    // The window deletes its scripts at exit; so does the command.
    DeleteTempFiles();
    std::fflush(stdout);
    SetMessageBoxHook(nullptr);
    return exitCode;
}

}  // namespace kalvex
