// A skin module for the tests: the class factory and skin object of the
// component binary layout, recording every call into a text file named by
// KALVEX_FAKE_SKIN_LOG. KALVEX_FAKE_SKIN_MODE picks a failure:
// "factory" (no class factory), "create" (no skin object), "load" (the load
// method returns 1).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
struct Guid {
    uint32_t d1;
    uint16_t d2, d3;
    uint8_t d4[8];
};

void Note(const std::string& what) {
    if (const char* path = std::getenv("KALVEX_FAKE_SKIN_LOG")) {
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "%s\n", what.c_str());
            std::fclose(f);
        }
    }
}
std::string Mode() {
    const char* m = std::getenv("KALVEX_FAKE_SKIN_MODE");
    return m ? m : "";
}
std::string GuidText(const Guid* g) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X", g->d1, g->d2, g->d3, g->d4[0], g->d4[1]);
    return buf;
}

using Fn = void*;
struct Object {
    void** vtbl;
};

int32_t QueryInterface(void*, const Guid*, void**) { return -1; }
uint32_t AddRef(void*) { return 1; }
uint32_t ReleaseSkin(void*) {
    Note("skin released");
    return 0;
}
uint32_t ReleaseFactory(void*) {
    Note("factory released");
    return 0;
}
int32_t Unused(void*) { return 0; }
int32_t LoadSkinFile(void*, char16_t* bstr, int flag) {
    uint32_t bytes = reinterpret_cast<uint32_t*>(bstr)[-1];
    std::string path;
    for (uint32_t i = 0; i < bytes / 2; ++i) path += static_cast<char>(bstr[i]);
    Note("load " + path + " " + std::to_string(flag));
    return Mode() == "load" ? 1 : 0;
}

void* g_skinVtbl[13] = {reinterpret_cast<Fn>(QueryInterface), reinterpret_cast<Fn>(AddRef),
                        reinterpret_cast<Fn>(ReleaseSkin)};
Object g_skin{g_skinVtbl};

int32_t CreateInstance(void*, void* outer, const Guid* iid, void** out) {
    Note("create " + GuidText(iid) + (outer ? " outer" : ""));
    if (Mode() == "create") return static_cast<int32_t>(0x80004002);
    for (int i = 3; i < 12; ++i) g_skinVtbl[i] = reinterpret_cast<Fn>(Unused);
    g_skinVtbl[12] = reinterpret_cast<Fn>(LoadSkinFile);
    *out = &g_skin;
    return 0;
}
void* g_factoryVtbl[5] = {reinterpret_cast<Fn>(QueryInterface), reinterpret_cast<Fn>(AddRef),
                          reinterpret_cast<Fn>(ReleaseFactory), reinterpret_cast<Fn>(CreateInstance),
                          reinterpret_cast<Fn>(Unused)};
Object g_factory{g_factoryVtbl};
}  // namespace

extern "C" int32_t DllGetClassObject(const Guid* clsid, const Guid* iid, void** out) {
    Note("class " + GuidText(clsid) + " " + GuidText(iid));
    if (Mode() == "factory") return static_cast<int32_t>(0x80040111);
    *out = &g_factory;
    return 0;
}
