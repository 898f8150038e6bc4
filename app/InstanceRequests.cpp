#include "app/InstanceRequests.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/MainMessages.h"
#include "common/ProgramLog.h"

namespace kalvex {

std::vector<InstanceRequest> AcceptedInstanceRequests() {
    return {
        // A second start of the program asks the window to come to the front.
        {QByteArray::number(WM_ACTIVATE_INSTANCE), WM_ACTIVATE_INSTANCE},
        // "Kalvex --close" and any outside program ask the window to close,
        // with the guards of a close by the user.
        {QByteArray(kCloseMessageName), RegisterWindowMessage(kCloseMessageName)},
        // "Kalvex FILE..." while the window runs hands the files over; they
        // are added as "Add Video Files" adds them. The paths are checked
        // by CheckHandedOverPaths before anything is done with them.
        {QByteArray(kOpenFilesMessageName), WM_OPEN_FILES, true},
    };
}

void LogRejectedInstanceRequest(const QString& why) {
    LogLine("Instance socket: ignored %s", why.toLocal8Bit().constData());
}

PathsToAdd CheckHandedOverPaths(const std::vector<std::string>& paths) {
    PathsToAdd result;
    for (const std::string& path : paths) {
        std::string why;
        struct stat st {};
        if (path.empty() || path[0] != '/')
            why = "not an absolute path";
        else if (path.size() > size_t(SingleInstance::kMaxPathBytes))
            why = "longer than " + std::to_string(SingleInstance::kMaxPathBytes) + " bytes";
        else if (path.find('\0') != std::string::npos)
            why = "holds a NUL byte";
        else if (::stat(path.c_str(), &st) != 0)
            why = std::strerror(errno);
        else if (!S_ISREG(st.st_mode))
            why = S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file";
        if (why.empty()) {
            result.files.push_back(path);
        } else {
            LogLongLine("Instance socket: skipped the handed-over path %s: %s", path.c_str(), why.c_str());
            result.skipped.push_back({path, why});
        }
    }
    return result;
}

FilesHandOver HandFilesToRunningWindow(const std::vector<std::string>& files, std::string* message) {
    const size_t chunk = SingleInstance::kMaxPathsPerRequest;
    int taken = 0;
    for (size_t first = 0; first < files.size(); first += chunk) {
        const std::vector<std::string> part(files.begin() + long(first),
                                            files.begin() + long(std::min(files.size(), first + chunk)));
        const PathsHandOver r = SingleInstance::HandPathsToFirst(kOpenFilesMessageName, part);
        switch (r.status) {
            case PathsHandOver::Accepted: taken += r.taken; break;
            case PathsHandOver::NotListening:
                if (first == 0) return FilesHandOver::NotListening;
                [[fallthrough]];
            case PathsHandOver::NoAnswer:
                *message = "The running Kalvex did not answer; " + std::to_string(files.size() - first) +
                           " of the files were not handed over.";
                return FilesHandOver::Refused;
            case PathsHandOver::Refused:
                *message = "The running Kalvex did not take the files: " + r.refusal.toStdString();
                return FilesHandOver::Refused;
        }
    }
    if (taken < int(files.size())) {
        *message = std::to_string(int(files.size()) - taken) + " of the " + std::to_string(files.size()) +
                   " files were not taken by the running Kalvex (its log says why).";
        return FilesHandOver::PartlyTaken;
    }
    return FilesHandOver::Accepted;
}

}  // namespace kalvex
