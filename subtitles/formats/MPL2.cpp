// MPL2: "[start][end]text" in tenths of a second, "/" for italics.
#include "subtitles/formats/Readers.h"

#include <QStringList>

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

QString MPL2ToSSA(const QString& str) {
    QStringList lines = str.split('|');
    for (QString& s : lines) {
        s = s.trimmed();
        if (s.startsWith('/')) s = "{\\i1}" + s.mid(1) + "{\\i0}";
    }
    return lines.join('\n');
}

bool OpenMPL2(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    QString buff;
    while (NextLine(f, buff)) {
        if (buff.isEmpty()) continue;
        int start, end;
        if (ScanText(buff, "[%d][%d]", &start, &end) != 2) return false;
        qsizetype first = buff.indexOf(']');
        qsizetype second = buff.indexOf(']', first + 1);
        if (second < 0) return false;
        ret.AddEntry(MPL2ToSSA(buff.mid(second + 1)), f->IsUnicode(), ClampToInt(static_cast<qint64>(start) * 100),
                     ClampToInt(static_cast<qint64>(end) * 100));
    }
    return ret.GetCount() > 0;
}

}  // namespace kalvex::sts
