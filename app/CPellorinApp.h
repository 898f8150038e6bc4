#pragma once
#include <memory>
#include <string>

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

    // Start-up steps, callable on their own for tests.
    static void PointDiscLibraryLog();
    // Loads the optional skin module "skins.so" from `folder` (AppFolder by
    // default) and applies folder + "skin/skin.xml".
    void LoadSkin(const std::string& folder = {});
    void ReleaseSkin();
    bool HasSkin() const { return skin_ != nullptr; }

    // Set before InitInstance returns from the modal run; tests use it to
    // drive the window.
    static CVideoConverterDlg* RunningWindow();

private:
    void Shutdown();
    std::unique_ptr<SingleInstance> instance_;
    std::unique_ptr<CVideoConverterDlg> window_;
    void* skinModule_ = nullptr;
    void* skin_ = nullptr;  // the skin interface (a COM-style object)
};

}  // namespace kalvex
