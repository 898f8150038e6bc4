#include "app/cli/ExamineCommand.h"

#include <cstdio>

#include "common/AppSettings.h"
#include "media/EntryFromPath.h"
#include "platform/system/TempFiles.h"

namespace kalvex {

int RunExamineCommand(const std::string& path) {
    MediaInfo info;
    std::string text;
    SourceRefusal refusal;
    const bool ok = ExamineSource(path, info, text, &refusal);
    // The window deletes its scripts at exit; so does the command.
    DeleteTempFiles();
    if (!ok) {
        if (refusal.kind == RefusalKind::None) refusal = SourceRefusal{RefusalKind::Unusable, path, {}};
        std::fprintf(stderr, "%s\n", RefusalText(refusal).c_str());
        return 1;
    }
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::fprintf(stdout, "%s\n\n%s", text.c_str(), InfoText(name, info, AppSettings.timeFormat).c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace kalvex
