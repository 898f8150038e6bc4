#pragma once
// What the subtitle readers have to tell the user about a file, kept as
// data: the readers never show anything. The window code that loads a
// subtitle for the user shows it in a message box, the command line prints
// it, and the script engine only logs.
#include <QString>
#include <functional>

namespace kalvex {

// Why a reader refused a file in a way the user is told about (a file that
// simply is not of the reader's kind is refused silently: kind None).
struct SubtitleReadError {
    enum Kind { None, SyntaxError, WrongVersion };
    Kind kind = None;
    int line = 0;  // SyntaxError: the line where reading stopped, counted from 1
    QString text;  // "Syntax error at line %d!\t" or "Wrong file version!"

    explicit operator bool() const { return kind != None; }
};

// Asked for each entry whose style no style line defines while the
// warnings of the file being read are on: true keeps warning, false stops
// the warnings for the rest of that file. The entry gets "Default" either way.
using UnknownStyleQuestion = std::function<bool(const QString& style)>;

}  // namespace kalvex
