// Times the examination of sources, as adding a file to the list does it:
//   examine_bench RUNS FILE...
// prints, per file, the median, least and most wall time of RUNS
// examinations in milliseconds, and the frame count found. Every run
// examines the file as if for the first time (nothing kept from the one
// before); the file itself may be in the system's cache.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/SourceCounts.h"
#include "media/ExamineSource.h"

using namespace kalvex;

int main(int argc, char** argv) {
    if (argc < 3 || std::atoi(argv[1]) < 1) {
        std::fprintf(stderr, "usage: examine_bench RUNS FILE...\n");
        return 2;
    }
    const int runs = std::atoi(argv[1]);
    int failed = 0;
    for (int i = 2; i < argc; ++i) {
        std::vector<double> ms;
        MediaInfo info{};
        bool ok = true;
        for (int r = 0; r < runs && ok; ++r) {
            std::string text;
            SourceRefusal refusal;
            avs::TrackList tracks;
            // Each run as the first look at the file, as adding it does.
            avs::ForgetSourceFacts();
            const auto t0 = std::chrono::steady_clock::now();
            ok = ExamineSource(argv[i], info, text, &refusal, &tracks);
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            if (!ok) std::fprintf(stderr, "%s: %s\n", argv[i], RefusalText(refusal).c_str());
        }
        if (!ok) {
            ++failed;
            continue;
        }
        std::sort(ms.begin(), ms.end());
        const long frames = info.fps > 0 ? long(double(info.duration) * info.fps / 1e7 + 0.5) : 0;
        std::printf("%-40s median %7.1f ms  (least %7.1f, most %7.1f)  frames %ld\n", argv[i], ms[ms.size() / 2],
                    ms.front(), ms.back(), frames);
    }
    return failed ? 1 : 0;
}
