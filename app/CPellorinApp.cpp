#include "app/CPellorinApp.h"

#include <dlfcn.h>

#include <QElapsedTimer>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/CVideoConverterDlg.h"
#include "app/InstanceRequests.h"
#include "app/MainMessages.h"
#include "app/core/CrashReport.h"
#include "common/ProgramLog.h"
#include "platform/instance/SingleInstance.h"
#include "platform/registry/RegistryStore.h"
#include "platform/system/Folders.h"
#include "platform/system/TempFiles.h"
#include "platform/download/WorkerThreads.h"

namespace kalvex {
namespace {

// The skin engine is an optional in-process component object: a module with
// DllGetClassObject handing out a class factory, which creates the skin
// object. The layouts below are the component object model's binary ones.
struct Guid {
    uint32_t d1;
    uint16_t d2, d3;
    uint8_t d4[8];
};
constexpr Guid kSkinClass{0x3D5D83B0, 0x47DC, 0x4862, {0x93, 0xD6, 0x3E, 0x82, 0x7A, 0x14, 0xAE, 0xD1}};
constexpr Guid kIClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr Guid kSkinInterface{0x5ECBCE01, 0x3B9D, 0x421E, {0xB9, 0xD6, 0x95, 0x01, 0x89, 0xC2, 0x32, 0xE2}};

using HRESULT = int32_t;
using GetClassObjectFn = HRESULT (*)(const Guid*, const Guid*, void**);
struct ClassFactoryVtbl {
    HRESULT (*QueryInterface)(void*, const Guid*, void**);
    uint32_t (*AddRef)(void*);
    uint32_t (*Release)(void*);
    HRESULT (*CreateInstance)(void*, void* outer, const Guid*, void**);
    HRESULT (*LockServer)(void*, int);
};
using UnknownVtbl = void* [];
using SkinLoadFn = HRESULT (*)(void*, char16_t* bstr, int);

// A BSTR: 32-bit byte length before the characters, NUL at the end.
char16_t* AllocBstr(const std::string& utf8) {
    std::u16string s(utf8.begin(), utf8.end());
    auto* block = static_cast<uint32_t*>(std::malloc(4 + (s.size() + 1) * 2));
    block[0] = static_cast<uint32_t>(s.size() * 2);
    auto* chars = reinterpret_cast<char16_t*>(block + 1);
    std::memcpy(chars, s.c_str(), (s.size() + 1) * 2);
    return chars;
}
void FreeBstr(char16_t* b) {
    if (b) std::free(reinterpret_cast<uint32_t*>(b) - 1);
}
uint32_t ReleaseObject(void* obj) {
    auto** vtbl = *static_cast<void***>(obj);
    return reinterpret_cast<uint32_t (*)(void*)>(vtbl[2])(obj);
}

}  // namespace

CPellorinApp::CPellorinApp() = default;

CPellorinApp::~CPellorinApp() {
    ReleaseSkin();
    if (skinModule_) dlclose(skinModule_);
}


void CPellorinApp::PointDiscLibraryLog() {
    std::string logPath = AppDataFolder() + "StarBurn.log";
    if (auto key = RegistryKey::Open(RegRoot::LocalMachine, "Software\\Rocket Division Software\\StarBurn",
                                     true, true)) {
        key->SetDword("DebugFacility", 1);
        key->SetString("DebugFileName", logPath);
    }
    // Every run starts a fresh disc-library log.
    std::remove(logPath.c_str());
}

void CPellorinApp::LoadSkin(const std::string& where) {
    std::string folder = where.empty() ? CompanionFolder("skins.so") : where;
    std::string path = folder + "skins.so";
    skinModule_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto getClassObject =
        skinModule_ ? reinterpret_cast<GetClassObjectFn>(dlsym(skinModule_, "DllGetClassObject")) : nullptr;
    if (!getClassObject) {
        LogTimestamp();
        LogLine("Get DllGetClassObject failed.");
        LogSystemError(__FILE__, __LINE__, 0);
        return;
    }
    void* factory = nullptr;
    HRESULT hr = getClassObject(&kSkinClass, &kIClassFactory, &factory);
    if (hr < 0 || !factory) {
        LogTimestamp();
        LogLine("Get Classfactory failed 2.");
        LogSystemError(__FILE__, __LINE__, hr);
        return;
    }
    auto* fvtbl = *static_cast<ClassFactoryVtbl**>(factory);
    hr = fvtbl->CreateInstance(factory, nullptr, &kSkinInterface, &skin_);
    if (hr < 0 || !skin_) {
        skin_ = nullptr;
        LogTimestamp();
        LogLine("Query Skin face failed.");
        LogSystemError(__FILE__, __LINE__, hr);
    } else {
        auto** vtbl = *static_cast<void***>(skin_);
        char16_t* bstr = AllocBstr(folder + "skin/skin.xml");
        HRESULT r = reinterpret_cast<SkinLoadFn>(vtbl[12])(skin_, bstr, 0);
        FreeBstr(bstr);
        if (r != 0) ReleaseSkin();
    }
    fvtbl->Release(factory);
}

void CPellorinApp::ReleaseSkin() {
    if (skin_) {
        ReleaseObject(skin_);
        skin_ = nullptr;
    }
}

bool CPellorinApp::InitInstance() {
    instance_ = std::make_unique<SingleInstance>();
    if (!instance_->Acquire()) {
        if (startFiles_.empty()) {
            // A second start: hand over to the first window if it is
            // published, otherwise end without effect.
            SingleInstance::PostToFirst(QString::number(WM_ACTIVATE_INSTANCE), 0, 0);
            instance_.reset();
            return false;
        }
        if (HandOverToFirst()) {
            instance_.reset();
            return false;
        }
        // The first instance ended meanwhile: this one runs with the files.
    }
    PointDiscLibraryLog();
    InstallCrashHandler();
    RegisterWindowMessage(kCloseMessageName);
    // Not the system the skin engine is withheld from: always tried here.
    LoadSkin();

    window_ = std::make_unique<CVideoConverterDlg>(instance_.get());
    window_->OnInitDialog();
    window_->OpenFiles(startFiles_);
    window_->exec();
    Shutdown();
    return false;
}

bool CPellorinApp::HandOverToFirst() {
    // Files must not be lost because the first instance is still starting
    // (it publishes its window late) or just ending (it releases the lock):
    // the hand-over is tried again for a while.
    constexpr int kWaitMs = 10000;
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        std::string message;
        switch (HandFilesToRunningWindow(startFiles_, &message)) {
            case FilesHandOver::Accepted: exitCode_ = 0; return true;
            case FilesHandOver::PartlyTaken:
                std::fprintf(stderr, "Kalvex: %s\n", message.c_str());
                exitCode_ = 0;
                return true;
            case FilesHandOver::Refused:
                std::fprintf(stderr, "Kalvex: %s\n", message.c_str());
                LogLine("Hand-over: %s", message.c_str());
                exitCode_ = 1;
                return true;
            case FilesHandOver::NotListening: break;
        }
        if (instance_->Acquire()) return false;
        if (waited.elapsed() >= kWaitMs) {
            std::fprintf(stderr, "Kalvex: the running Kalvex does not take files yet; they were not added.\n");
            LogLine("Hand-over: nobody listened within %d ms", kWaitMs);
            exitCode_ = 1;
            return true;
        }
        QThread::msleep(100);
    }
}

void CPellorinApp::Shutdown() {
    DeleteTempFiles();
    ReleaseSkin();
    if (instance_) instance_->Release();
    window_.reset();
    instance_.reset();
    // The downloads and the update check end before the log and the rest of
    // the process-wide state go away (the log closes when main returns).
    StopWorkerThreads();
}

}  // namespace kalvex
