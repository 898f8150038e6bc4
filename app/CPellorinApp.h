#pragma once
#include <memory>
#include <string>
#include <vector>

namespace kalvex {

class CVideoConverterDlg;
class SingleInstance;

// The converter's process skeleton: single instance, start-up steps, the
// modal run of the main window and the shutdown that follows it.
class CPellorinApp {
public:
    CPellorinApp();
    ~CPellorinApp();

    // The whole start-up, run and shutdown. Always returns false: the process
    // ends when the main window closes.
    bool InitInstance();

    // Files named on the command line (absolute, folders already expanded):
    // the window starts with them added, or a later start hands them to the
    // running window.
    void SetStartFiles(std::vector<std::string> files) { startFiles_ = std::move(files); }
    // The process's exit code after InitInstance: 0, or 1 when a later
    // start could not hand its files over.
    int ExitCode() const { return exitCode_; }

    // Start-up steps, callable on their own for tests.
    static void PointDiscLibraryLog();
    // Loads the optional skin module "skins.so" from `folder` (AppFolder by
    // default) and applies folder + "skin/skin.xml".
    void LoadSkin(const std::string& folder = {});
    void ReleaseSkin();
    bool HasSkin() const { return skin_ != nullptr; }


private:
    void Shutdown();
    // A later start: hands the start files over. False when the first
    // instance ended meanwhile and this process now holds the lock.
    bool HandOverToFirst();
    std::vector<std::string> startFiles_;
    int exitCode_ = 0;
    std::unique_ptr<SingleInstance> instance_;
    std::unique_ptr<CVideoConverterDlg> window_;
    void* skinModule_ = nullptr;
    void* skin_ = nullptr;  // the skin interface (a COM-style object)
};

}  // namespace kalvex
