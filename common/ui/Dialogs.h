#pragma once
// The window side of the shell: message boxes owned by the main window, the
// file and folder dialogs, and the desktop's "open". Each goes through a
// seam that tests (and the command line) replace.
#include <QString>
#include <QStringList>
#include <functional>

#include "platform/shell/Shell.h"

class QWidget;

namespace kalvex {

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

// Seams: tests replace what a user would answer or what the desktop would do.
// A null function restores the real behaviour.
void SetMessageBoxHook(std::function<int(const MessageBoxRequest&)> hook);
void SetOpenFileDialogHook(std::function<QStringList(const FileDialogRequest&)> hook);
void SetFolderDialogHook(std::function<QString(const QString& title, const QString& start)> hook);
void SetShellOpenHook(std::function<bool(const QString&)> hook);

}  // namespace kalvex
