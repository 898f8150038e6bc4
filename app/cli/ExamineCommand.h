#pragma once
#include <string>

namespace kalvex {

// `Kalvex --examine FILE`: examines the file without any window. Prints the
// examination's information text and then the file list's text of the entry
// on stdout and returns 0; on refusal prints the refusal text on stderr and
// returns 1. The examination script is deleted before it returns.
int RunExamineCommand(const std::string& path);

}  // namespace kalvex
