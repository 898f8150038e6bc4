#include "common/ui/Dialogs.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QUrl>
#include <QWidget>
#include <mutex>

namespace kalvex {

namespace {
std::mutex g_hookMutex;
std::function<int(const MessageBoxRequest&)> g_boxHook;
std::function<QStringList(const FileDialogRequest&)> g_openHook;
std::function<QString(const QString&, const QString&)> g_folderHook;
std::function<bool(const QString&)> g_shellHook;
QPointer<QWidget> g_owner;

template <typename F>
F Get(const F& f) {
    std::lock_guard lock(g_hookMutex);
    return f;
}

int ShowBox(const MessageBoxRequest& r) {
    // Windows belong to the window thread: a worker's box is shown there
    // and the worker waits for the answer.
    if (QCoreApplication* app = QCoreApplication::instance(); app && QThread::currentThread() != app->thread()) {
        int answer = IDCANCEL;
        QMetaObject::invokeMethod(app, [&] { answer = ShowBox(r); }, Qt::BlockingQueuedConnection);
        return answer;
    }
    if (auto hook = Get(g_boxHook)) return hook(r);
    QMessageBox box(r.owned ? g_owner.data() : nullptr);
    box.setWindowTitle(r.caption);
    box.setText(r.text);
    switch (r.flags & 0xF0) {
        case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
        case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
        case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
        case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
        default: break;
    }
    switch (r.flags & 0x0F) {
        case MB_OKCANCEL: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
        case MB_YESNOCANCEL:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            break;
        case MB_YESNO: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
        default: box.setStandardButtons(QMessageBox::Ok); break;
    }
    switch (box.exec()) {
        case QMessageBox::Ok: return IDOK;
        case QMessageBox::Yes: return IDYES;
        case QMessageBox::No: return IDNO;
        default: return (r.flags & 0x0F) == MB_OK ? IDOK : IDCANCEL;
    }
}
}  // namespace

int MessageBox(const QString& text, const QString& caption, unsigned flags) {
    return ShowBox({text, caption, flags, true});
}

int MessageBoxUnowned(const QString& text, const QString& caption, unsigned flags) {
    return ShowBox({text, caption, flags, false});
}

void SetMessageBoxOwner(QWidget* owner) { g_owner = owner; }
QWidget* MessageBoxOwner() { return g_owner.data(); }

QStringList OpenFileDialog(const FileDialogRequest& r) {
    if (auto hook = Get(g_openHook)) return hook(r);
    if (r.multiple)
        return QFileDialog::getOpenFileNames(g_owner.data(), r.title, r.startFolder, r.filter);
    QString one = QFileDialog::getOpenFileName(g_owner.data(), r.title, r.startFolder, r.filter);
    return one.isEmpty() ? QStringList() : QStringList{one};
}

QString FolderDialog(const QString& title, const QString& start) {
    if (auto hook = Get(g_folderHook)) return hook(title, start);
    return QFileDialog::getExistingDirectory(g_owner.data(), title, start);
}

bool ShellOpen(const QString& target) {
    if (auto hook = Get(g_shellHook)) return hook(target);
    QUrl url = target.contains("://") ? QUrl(target) : QUrl::fromLocalFile(target);
    return QDesktopServices::openUrl(url);
}

void SetMessageBoxHook(std::function<int(const MessageBoxRequest&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_boxHook = std::move(hook);
}
void SetOpenFileDialogHook(std::function<QStringList(const FileDialogRequest&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_openHook = std::move(hook);
}
void SetFolderDialogHook(std::function<QString(const QString&, const QString&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_folderHook = std::move(hook);
}
void SetShellOpenHook(std::function<bool(const QString&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_shellHook = std::move(hook);
}

}  // namespace kalvex
