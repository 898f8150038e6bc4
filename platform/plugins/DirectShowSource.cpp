// The DirectShowSource plug-in module: serves the display aspect ratio of
// the source a script opened. The program hands it the engine's report of
// that source with each call; the module keeps nothing between calls.
#include "platform/plugins/DirectShowSourcePlugin.h"

#include <cstddef>
#include <numeric>

extern "C" __attribute__((visibility("default"))) void AvsGetDAR(const KalvexAvsSource* source, int* x, int* y) {
    int dx = 0, dy = 0;
    if (source && source->size >= offsetof(KalvexAvsSource, darY) + sizeof source->darY && source->darX > 0 &&
        source->darY > 0) {
        const int d = std::gcd(source->darX, source->darY);
        dx = source->darX / d;
        dy = source->darY / d;
    }
    if (x) *x = dx;
    if (y) *y = dy;
}
