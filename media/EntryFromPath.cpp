#include "media/EntryFromPath.h"

#include "common/ProgramLog.h"

namespace kalvex {

bool MakeEntryFromPath(const std::string& path, VideoFileEntry& entry, SourceRefusal& refusal,
                       const SourceExaminer& examiner, const EntryLinker& linker, int timeFormat,
                       EntryTracks* tracksOut) {
    LogLine("--- Adding file %s---", path.c_str());
    entry = ZeroEntry();
    refusal = SourceRefusal{};
    EntryTracks tracks;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    bool ok = SetFieldText(entry.fullPath, path) && SetFieldText(entry.fileName, name);
    if (!ok) {
        // The stored record has 260 bytes for a path; a longer one is refused
        // rather than cut to a path of some other file.
        refusal = SourceRefusal{RefusalKind::PathTooLong, path, {}};
        LogLongLine("%s", RefusalText(refusal).c_str());
    } else if (examiner) {
        ok = examiner(path, entry.mediaInfo, refusal);
    } else {
        std::string infoText;
        ok = ExamineSource(path, entry.mediaInfo, infoText, &refusal, &tracks.tracks);
        tracks.known = ok;
    }

    if (ok) {
        if (linker) linker(entry);
        MakeInfoText(entry, timeFormat, tracks.tracks);
        LogLongLine("InfoStr=%s", FieldText(entry.infoText).c_str());
        entry.startTime = 0;
        entry.endTime = entry.mediaInfo.duration;
    } else {
        if (refusal.kind == RefusalKind::None) refusal = SourceRefusal{RefusalKind::Unusable, path, {}};
        LogLongLine("Add file failed. %s.\nPlease make sure you can play the file in your computer correctly, "
                    "you may miss some video or audio codec for decoding the file.",
                    path.c_str());
    }
    if (tracksOut) *tracksOut = ok ? tracks : EntryTracks{};
    LogLine("--- End %s ---", path.c_str());
    return ok;
}

}  // namespace kalvex
