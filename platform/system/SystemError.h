#pragma once
#include <string>

namespace kalvex {

// The calling thread's last system error code (errno here).
int GetLastError();
void SetLastError(int code);
// The system's message text for an error code, ending with a line end like
// the texts the original system returns; code 0 reads as success.
std::string SystemErrorText(int code);

}  // namespace kalvex
