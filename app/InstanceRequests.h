#pragma once
#include <vector>

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

}  // namespace kalvex
