#pragma once
#include <QString>
#include <ostream>
#include <string>

// Readable test failure output for Qt texts.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace kalvex::test {

// The folder made for the running test; XDG_DATA_HOME, XDG_CONFIG_HOME,
// XDG_RUNTIME_DIR, TMPDIR and KALVEX_REGISTRY_DIR point inside it.
std::string TestRoot();
QString TestPath(const QString& name);  // TestRoot() + "/" + name

// Whole file as bytes; empty when missing.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// The folder of the built programs (Kalvex, Dravel, plugins/...).
std::string BinDir();

// Runs a program to its end; returns its exit code (-1 when it did not start
// or did not end within timeoutMs). Output goes to *out when given.
int RunProgram(const QString& program, const QStringList& args, QString* out = nullptr,
               int timeoutMs = 60000);

}  // namespace kalvex::test
