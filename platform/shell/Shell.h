#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace kalvex {

// Message box flags and answers keep their Windows values.
enum : unsigned {
    MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_YESNOCANCEL = 0x3, MB_YESNO = 0x4,
    MB_ICONERROR = 0x10, MB_ICONQUESTION = 0x20, MB_ICONWARNING = 0x30, MB_ICONINFORMATION = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

extern const char* const kAppCaption;  // "Tesmora.NET Video Converter For PSP"

struct MessageBoxRequest {
    QString text;
    QString caption;
    unsigned flags = 0;
    bool owned = true;  // false for the crash prompt, which has no owner
};

// Shows a message box and returns the button chosen (IDOK, IDCANCEL, ...).
// Boxes are owned by the window set with SetMessageBoxOwner unless
// owned == false.
int MessageBox(const QString& text, const QString& caption = kAppCaption,
               unsigned flags = MB_OK | MB_ICONINFORMATION);
int MessageBoxUnowned(const QString& text, const QString& caption, unsigned flags);
void SetMessageBoxOwner(QWidget* owner);
QWidget* MessageBoxOwner();

// File dialogs: open several files; choose a folder.
struct FileDialogRequest {
    QString title;
    QString filter;      // Qt filter text ("Video (*.avi *.mp4);;All (*)")
    QString startFolder;
    bool multiple = false;
};
QStringList OpenFileDialog(const FileDialogRequest& request);
QString FolderDialog(const QString& title, const QString& startFolder);

// The shell's "open": documents, folders and web addresses. False on failure.
bool ShellOpen(const QString& target);
// Starts a program with its arguments, detached. False when it cannot start.
bool StartProgram(const QString& program, const QStringList& args);
// Starts a program hidden and waits at most timeoutMs for it to end.
// Returns false when it could not start.
bool RunProgramAndWait(const QString& program, const QStringList& args, int timeoutMs);

// Seams: tests replace what a user would answer or what the desktop would do.
// A null function restores the real behaviour.
void SetMessageBoxHook(std::function<int(const MessageBoxRequest&)> hook);
void SetOpenFileDialogHook(std::function<QStringList(const FileDialogRequest&)> hook);
void SetFolderDialogHook(std::function<QString(const QString& title, const QString& start)> hook);
void SetShellOpenHook(std::function<bool(const QString&)> hook);
void SetStartProgramHook(std::function<bool(const QString&, const QStringList&)> hook);

}  // namespace kalvex
