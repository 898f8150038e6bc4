#include "app/cli/ExamineCommand.h"

#include <cstdio>

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
        std::fprintf(stderr, "%s\n", refusal.text.empty() ? ("Could not use " + path + " as Input!").c_str()
                                                          : refusal.text.c_str());
        return 1;
    }
    const size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::fprintf(stdout, "%s\n\n%s", text.c_str(), InfoText(name, info).c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace kalvex
