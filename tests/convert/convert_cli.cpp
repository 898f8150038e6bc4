// The headless converter alone, as `Kalvex --convert` runs it: a core
// application, the program log, the command. Lets tests run it as a process
// without a display.
#include <QCoreApplication>
#include <QStringList>

#include "common/ProgramLog.h"
#include "convert/ConvertCommand.h"

int main(int argc, char** argv) {
    kalvex::OpenProgramLog();
    QCoreApplication app(argc, argv);
    int code = kalvex::RunConvertCommand(app.arguments().mid(1));
    kalvex::CloseProgramLog();
    return code;
}
