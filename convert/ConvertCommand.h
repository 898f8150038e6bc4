#pragma once
#include <QStringList>

namespace kalvex {

// `Kalvex --convert [--dest DIR] FILE...`: converts the files without any
// window. `args` are the arguments after "--convert". Each file is examined,
// given its conversion script and converted by a ConvertJob into DIR (or the
// Convert/DestPath of set.ini, default "~/dvd-vob/"), with the PspVideo
// settings of set.ini. Prints the progress texts once a second and one line
// per file at the end ("Converted: OUTPUT" or "Failed: SOURCE"). After
// Ctrl-C the file being converted ends early ("Stopped: OUTPUT") and the
// files after it are not converted (their empty outputs are removed).
// Returns 0 when every file was converted, 1 otherwise, 2 for bad arguments.
// Needs a QCoreApplication (made here when there is none); never a window.
int RunConvertCommand(const QStringList& args);

}  // namespace kalvex
