// engine_bench with the subtitle filters in the engine's table, so that it
// can read conversion scripts that burn subtitles in (EmbeddedSub, TextSub,
// VobSub), for bench/embedded_subs.sh. Same arguments and output as
// engine_bench.
#include "subtitles/engine/SubtitleFilters.h"

#define main EngineBenchMain
#include "engine_bench.cpp"
#undef main

int main(int argc, char** argv) {
    kalvex::RegisterSubtitleFilters();
    return EngineBenchMain(argc, argv);
}
