#pragma once
// The system side of the shell: starting programs, and the values message
// boxes are asked with. The boxes, dialogs and the desktop's "open" are
// window helpers (common/ui/Dialogs.h).
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

namespace kalvex {

// Message box flags and answers keep their Windows values.
enum : unsigned {
    MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_YESNOCANCEL = 0x3, MB_YESNO = 0x4,
    MB_ICONERROR = 0x10, MB_ICONQUESTION = 0x20, MB_ICONWARNING = 0x30, MB_ICONINFORMATION = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

extern const char* const kAppCaption;  // "Tesmora.NET Video Converter For PSP"

// A message box as data: what the window side shows (common/ui/Dialogs.h)
// and what its seam hands to a test or to the command line.
struct MessageBoxRequest {
    QString text;
    QString caption;
    unsigned flags = 0;
    bool owned = true;  // false for the crash prompt, which has no owner
};

// Starts a program with its arguments, detached. False when it cannot start.
bool StartProgram(const QString& program, const QStringList& args);
// Starts a program hidden and waits at most timeoutMs for it to end.
// Returns false when it could not start.
bool RunProgramAndWait(const QString& program, const QStringList& args, int timeoutMs);

// Seam: tests replace what the system would start. A null function restores
// the real behaviour.
void SetStartProgramHook(std::function<bool(const QString&, const QStringList&)> hook);

}  // namespace kalvex
