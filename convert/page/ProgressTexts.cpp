#include "convert/page/ProgressTexts.h"

#include <cstdio>

namespace kalvex {

namespace {

std::string Clock(const char* label, int seconds) {
    if (seconds < 0) seconds = 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s: %02d:%02d:%02d", label, seconds / 3600, seconds % 3600 / 60, seconds % 60);
    return buf;
}

}  // namespace

std::string StatusText(const ConvertProgress& p) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "Converting %s, %d/%d, %0.2f fps", p.fileName.c_str(), int(p.frame),
                  int(p.frameCount), p.fps);
    return buf;
}

std::string ElapsedText(const ConvertProgress& p) { return Clock("Elapse", p.elapsedSeconds); }
std::string EstimateText(const ConvertProgress& p) { return Clock("Estimate", p.estimateSeconds); }

std::string FilesText(const ConvertProgress& p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Files: %d/%d", p.fileIndex + 1, p.fileCount);
    return buf;
}

std::string TitleText(const ConvertProgress& p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d%% - Converting", p.Percent());
    return buf;
}

std::optional<FailureBox> FailureBoxFor(const FileResult& r) {
    switch (r.failure) {
        case FailureKind::ScriptNotWritten: return FailureBox{ScriptNotWrittenText(r.source), "Error", false};
        case FailureKind::SourceNotOpened:
            // Without the engine's own text the failure is only logged.
            if (r.failureDetail.empty()) return std::nullopt;
            return FailureBox{r.failureDetail, "Error!", true};
        case FailureKind::None:
        case FailureKind::Other: break;
    }
    return std::nullopt;
}

}  // namespace kalvex
