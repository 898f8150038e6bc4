// The conversion with and without a burned-in subtitle, for
// bench/subtitle_burn.sh.
//   subburn_bench make-vobsub BASE SECONDS     a VobSub pair with a picture every 2 s
//   subburn_bench convert SOURCE OUTPUT [SUBTITLE [STREAM]]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/AppSettings.h"
#include "convert/EncodeToPsp.h"
#include "media/EntryFromPath.h"
#include "media/SubtitleLinker.h"
#include "samples/VobSubMaker.h"

using namespace kalvex;

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "make-vobsub") == 0) {
        std::vector<samples::VobPicture> pictures;
        const int seconds = std::atoi(argv[3]);
        // A bar of text size in the lower part of the picture, 1.5 s of every 2 s.
        for (int s = 0; s + 2 <= seconds; s += 2) pictures.push_back({s * 1000LL, 1500, 120, 400, 480, 36});
        return samples::WriteVobSub(argv[2], pictures) ? 0 : 1;
    }
    if ((argc < 4 || argc > 6) || std::strcmp(argv[1], "convert") != 0) {
        std::fprintf(stderr, "usage: subburn_bench make-vobsub BASE SECONDS\n"
                             "       subburn_bench convert SOURCE OUTPUT [SUBTITLE [STREAM]]\n");
        return 2;
    }
    VideoFileEntry e;
    SourceRefusal refusal;
    if (!MakeEntryFromPath(argv[2], e, refusal)) {
        std::fprintf(stderr, "refused: %s\n", RefusalText(refusal).c_str());
        return 1;
    }
    if (argc >= 5) {
        std::string reason;
        if (!LinkSubtitleFile(e, argv[4], argc == 6 ? std::atoi(argv[5]) : 0, &reason)) {
            std::fprintf(stderr, "%s\n", reason.c_str());
            return 1;
        }
    }
    struct Always : EncodeControl {
        bool Proceed(long, long) override { return true; }
    } control;
    EncodeRequest r;
    r.entry = e;
    r.outputPath = argv[3];
    r.settings = ConvertSettings{};
    r.videoBitrate = r.settings.videoBitrate * 1000;
    r.audioBitrate = r.settings.audioBitrate * 1000;
    return EncodeToPsp(r, control).outcome == FileOutcome::Converted ? 0 : 1;
}
