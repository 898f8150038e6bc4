// The DirectShowSource plug-in module: serves the display aspect ratio of
// the source the script engine opened last. The engine lives in the program
// that loads this module; its entry is looked up there at call time.
#include <dlfcn.h>

extern "C" __attribute__((visibility("default"))) void AvsGetDAR(int* x, int* y) {
    using Entry = void (*)(int*, int*);
    static Entry entry = reinterpret_cast<Entry>(dlsym(RTLD_DEFAULT, "KalvexAvsLastDAR"));
    int dx = 0, dy = 0;
    if (entry) entry(&dx, &dy);
    if (x) *x = dx;
    if (y) *y = dy;
}
