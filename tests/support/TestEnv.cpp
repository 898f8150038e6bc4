#include "tests/support/TestEnv.h"

#include <QDir>
#include <QProcess>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kalvex::test {

std::string TestRoot() {
    const char* r = std::getenv("KALVEX_TEST_ROOT");
    return r ? r : "/tmp";
}

QString TestPath(const QString& name) { return QString::fromStdString(TestRoot()) + "/" + name; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string BinDir() { return KALVEX_BIN_DIR; }

int RunProgram(const QString& program, const QStringList& args, QString* out, int timeoutMs) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForStarted()) return -1;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out) *out = QString::fromUtf8(p.readAll());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace kalvex::test
