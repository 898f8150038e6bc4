// Dravel: sends the converter's log to the product server after a crash and
// brings the converter back.
#include <QApplication>
#include <QCoreApplication>
#include <csignal>
#include <optional>
#include <string>

#include "uploader/app/DravelCore.h"
#include "uploader/app/MainDlg.h"

int main(int argc, char** argv) {
    using namespace kalvex::dravel;
    // A server that drops the connection must fail a write, not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    // Only the first argument counts; it is taken before Qt looks at the line.
    std::optional<std::string> first;
    if (argc > 1) first = argv[1];

    if (ModeFor(first) == Mode::StartConverter) {
        QCoreApplication app(argc, argv);
        StartConverter();
        return 0;
    }

    QApplication app(argc, argv);
    CMainDlg dlg(*first, UploadUrl());
    QObject::connect(&dlg, &CMainDlg::Ended, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    dlg.show();
    dlg.OnInitDialog();
    app.exec();
    return 0;
}
