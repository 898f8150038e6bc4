#pragma once
#include <string>
#include <vector>

#include "media/PathsToAdd.h"
#include "platform/instance/SingleInstance.h"

namespace kalvex {

// The requests the running window takes from other programs through the
// instance socket, and the message each one becomes. This is the only place
// that opens the window to the outside: a request is added here on purpose,
// with the message it is allowed to post. Every other message number - the
// window's private messages among them - is dropped and logged.
std::vector<InstanceRequest> AcceptedInstanceRequests();

// Logs a line the instance socket dropped.
void LogRejectedInstanceRequest(const QString& why);

// The running window's check of the paths a later start hands over (any
// local program may send them): each must be absolute, at most
// SingleInstance::kMaxPathBytes long and name an existing regular file (a
// link to one counts). Paths that fail are skipped and logged with their
// reason; the others keep their order.
PathsToAdd CheckHandedOverPaths(const std::vector<std::string>& paths);

// A later start with files: hands them to the running window, in requests
// of at most SingleInstance::kMaxPathsPerRequest paths. Writes what went
// wrong to *message. NotListening when nobody took the first request (the
// first instance has not published its window yet, or has ended).
enum class FilesHandOver { Accepted, PartlyTaken, Refused, NotListening };
FilesHandOver HandFilesToRunningWindow(const std::vector<std::string>& files, std::string* message);

}  // namespace kalvex
