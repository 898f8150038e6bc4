// Every test runs with its own fresh folders, so no test touches the real
// user's files or sees another test's leftovers.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <utility>

#include "common/ui/Dialogs.h"

namespace {

class PerTestFolders : public testing::EmptyTestEventListener {
public:
    // The system temporary folder, read before the first test points TMPDIR
    // into its own folder: QDir::tempPath() read later would name a folder
    // already removed (and give "" for it) from the second test of a run on.
    explicit PerTestFolders(QString systemTemp) : systemTemp_(std::move(systemTemp)) {}

    void OnTestStart(const testing::TestInfo&) override {
        dir_ = std::make_unique<QTemporaryDir>(systemTemp_ + "/kalvex-test-XXXXXX");
        QString root = dir_->path();
        for (const char* sub : {"data", "config", "runtime", "tmp", "registry"}) QDir(root).mkpath(sub);
        setenv("KALVEX_TEST_ROOT", root.toLocal8Bit().constData(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").toLocal8Bit().constData(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/config").toLocal8Bit().constData(), 1);
        setenv("XDG_RUNTIME_DIR", (root + "/runtime").toLocal8Bit().constData(), 1);
        setenv("TMPDIR", (root + "/tmp").toLocal8Bit().constData(), 1);
        setenv("KALVEX_REGISTRY_DIR", (root + "/registry").toLocal8Bit().constData(), 1);
        // The product web server is a port on 127.0.0.1 where nothing listens,
        // so a window's update check never leaves the machine; tests that
        // talk to a server start their own and point KALVEX_SERVER at it.
        setenv("KALVEX_SERVER", "http://127.0.0.1:9", 1);
        // Any box a test does not answer itself is answered with OK/Cancel's
        // first button and never blocks the run.
        kalvex::SetMessageBoxHook([](const kalvex::MessageBoxRequest&) { return kalvex::IDOK; });
    }
    void OnTestEnd(const testing::TestInfo&) override {
        kalvex::SetMessageBoxHook(nullptr);
        kalvex::SetOpenFileDialogHook(nullptr);
        kalvex::SetFolderDialogHook(nullptr);
        kalvex::SetShellOpenHook(nullptr);
        kalvex::SetStartProgramHook(nullptr);
        dir_.reset();
    }

private:
    const QString systemTemp_;
    std::unique_ptr<QTemporaryDir> dir_;
};

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The system temporary folder is fixed before any test changes TMPDIR.
    QApplication app(argc, argv);
    setlocale(LC_NUMERIC, "C");  // as the programs do
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new PerTestFolders(QDir::tempPath()));
    return RUN_ALL_TESTS();
}
