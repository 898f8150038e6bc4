#include "media/EntryFromPath.h"

#include "common/ProgramLog.h"

namespace kalvex {

bool MakeEntryFromPath(const std::string& path, VideoFileEntry& entry, SourceRefusal& refusal,
                       const SourceExaminer& examiner, const EntryLinker& linker) {
    LogLine("--- Adding file %s---", path.c_str());
    entry = ZeroEntry();
    refusal = SourceRefusal{};
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    bool ok = SetFieldText(entry.fullPath, path) && SetFieldText(entry.fileName, name);
    if (!ok) {
        // The stored record has 260 bytes for a path; a longer one is refused
        // rather than cut to a path of some other file.
        refusal.text = "Could not use " + path + " as Input!\r\nThe file path is longer than " +
                       std::to_string(kMaxPath - 1) + " bytes.";
        refusal.caption = "Error";
        LogLongLine("%s", refusal.text.c_str());
    } else if (examiner) {
        ok = examiner(path, entry.mediaInfo, refusal);
    } else {
        std::string infoText;
        ok = ExamineSource(path, entry.mediaInfo, infoText, &refusal);
    }

    if (ok) {
        if (linker) linker(entry);
        MakeInfoText(entry);
        LogLongLine("InfoStr=%s", FieldText(entry.infoText).c_str());
        entry.startTime = 0;
        entry.endTime = entry.mediaInfo.duration;
    } else {
        if (refusal.text.empty()) refusal.text = "Could not use " + path + " as Input!";
        LogLongLine("Add file failed. %s.\nPlease make sure you can play the file in your computer correctly, "
                    "you may miss some video or audio codec for decoding the file.",
                    path.c_str());
    }
    LogLine("--- End %s ---", path.c_str());
    return ok;
}

}  // namespace kalvex
