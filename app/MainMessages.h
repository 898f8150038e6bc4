#pragma once
#include "platform/messages/Messages.h"

namespace kalvex {

// Private messages of the main window; all are posted.
constexpr unsigned WM_DEFERRED_INIT = WM_USER + 1000;
constexpr unsigned WM_UPDATE_AVAILABLE = WM_USER + 1001;
constexpr unsigned WM_ACTIVATE_INSTANCE = WM_USER + 1003;
// Files handed over by a later start (or named on this start's command
// line) wait to be added.
constexpr unsigned WM_OPEN_FILES = WM_USER + 1004;

// Registered name of the close request any outside program may post.
constexpr const char* kCloseMessageName = "CloseKalvexMsg";
// Name of the request that hands files to the running window.
constexpr const char* kOpenFilesMessageName = "OpenFilesKalvexMsg";

}  // namespace kalvex
