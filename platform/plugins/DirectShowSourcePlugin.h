#pragma once
// The entry of the DirectShowSource plug-in module (plugins/DirectShowSource.so),
// looked up by name at run time. The program hands it the source its script
// opened, as the script engine reported it; the module answers the display
// aspect ratio.

extern "C" {

// The source a script opened. size: the size of this record as the caller
// knows it, so that a record from an older caller is never read past its
// end.
struct KalvexAvsSource {
    unsigned size;
    int darX;  // the display aspect ratio the engine found; 0:0 unknown
    int darY;
};

// *x, *y: the source's display aspect ratio, reduced, horizontal then
// vertical; 0:0 when it is unknown (no source, a record too short, a part 0
// or less).
using AvsGetDARFunction = void (*)(const KalvexAvsSource* source, int* x, int* y);
}
