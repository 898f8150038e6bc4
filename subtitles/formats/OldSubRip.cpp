// Old SubRip: "{h:m:s}{h:m:s}text" lines, "|" for a line break.
#include "subtitles/formats/Readers.h"

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

bool OpenOldSubRipper(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    QString buff;
    while (NextLine(f, buff)) {
        if (buff.isEmpty()) continue;
        buff.replace('|', '\n');
        int hh1, mm1, ss1, hh2, mm2, ss2;
        int c = ScanText(buff, "{%d:%d:%d}{%d:%d:%d}", &hh1, &mm1, &ss1, &hh2, &mm2, &ss2);
        if (c != 6) return false;
        qsizetype first = buff.indexOf('}');
        qsizetype second = buff.indexOf('}', first + 1);
        ret.AddEntry(buff.mid(second + 1), f->IsUnicode(), ClampToInt(TimeToMs(hh1, mm1, ss1, 0)),
                     ClampToInt(TimeToMs(hh2, mm2, ss2, 0)));
    }
    return ret.GetCount() > 0;
}

}  // namespace kalvex::sts
