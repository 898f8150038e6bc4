// VPlayer: "h:m:s:text" lines; the end follows from the text's length.
#include "subtitles/formats/Readers.h"

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

bool OpenVPlayer(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    QString buff;
    while (NextLine(f, buff)) {
        if (buff.isEmpty()) continue;
        buff.replace('|', '\n');
        int hh, mm, ss;
        if (ScanText(buff, "%d:%d:%d:", &hh, &mm, &ss) != 3) return false;
        qsizetype c1 = buff.indexOf(':');
        qsizetype c2 = buff.indexOf(':', c1 + 1);
        qsizetype c3 = buff.indexOf(':', c2 + 1);
        if (c3 < 0) return false;
        QString str = buff.mid(c3 + 1);
        qint64 start = TimeToMs(hh, mm, ss, 0);
        ret.AddEntry(str, f->IsUnicode(), ClampToInt(start), ClampToInt(start + 1000 + 50 * str.size()));
    }
    return ret.GetCount() > 0;
}

}  // namespace kalvex::sts
