// SubViewer: "[tag]value" settings and "h:m:s.hs,h:m:s.hs" time lines.
#include "subtitles/formats/Readers.h"

#include <algorithm>

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

bool OpenSubViewer(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    const STSStyle def;
    QString font, color, size;
    bool bold = false, italic = false, striked = false, underline = false;
    QString buff;
    while (NextLine(f, buff)) {
        if (buff.isEmpty()) continue;
        if (buff[0] == '[') {
            for (qsizetype i = 0; i < buff.size() && buff[i] == '[';) {
                qsizetype j = buff.indexOf(']', ++i);
                if (j < 0) break;
                QString tag = buff.mid(i, j - i).trimmed().toLower();
                i = j + 1;
                j = buff.indexOf('[', i);
                if (j < 0) j = buff.size();
                QString str = TrimChars(buff.mid(i, j - i), " \t,");
                i = j;
                if (tag == "font") {
                    font = def.fontName.compare(str, Qt::CaseInsensitive) ? str : QString();
                } else if (tag == "colf") {
                    color = def.colors[0] != LeadingHex(QStringView(str).mid(std::min<qsizetype>(2, str.size())))
                                ? str
                                : QString();
                } else if (tag == "size") {
                    size = def.fontSize != LeadingInt(str) ? str : QString();
                } else if (tag == "style") {
                    if (str.contains("no")) {
                        bold = italic = striked = underline = false;
                    } else {
                        bold = def.fontWeight < FW_BOLD && str.contains("bd");
                        italic = !def.fItalic && str.contains("it");
                        striked = !def.fStrikeOut && str.contains("st");
                        underline = !def.fUnderline && str.contains("ud");
                    }
                }
            }
            continue;
        }
        QChar sep;
        int hh1, mm1, ss1, hs1, hh2, mm2, ss2, hs2;
        int c = ScanText(buff, "%d:%d:%d%c%d,%d:%d:%d%c%d\n", &hh1, &mm1, &ss1, &sep, &hs1, &hh2, &mm2, &ss2, &sep,
                         &hs2);
        if (c != 10) return false;
        QString str;
        f->ReadLine(str);
        str.replace("[br]", "\\N");
        QString prefix;
        if (!font.isEmpty()) prefix += "\\fn" + font;
        if (!color.isEmpty()) prefix += "\\c" + color;
        if (!size.isEmpty()) prefix += "\\fs" + size;
        if (bold) prefix += "\\b1";
        if (italic) prefix += "\\i1";
        if (striked) prefix += "\\s1";
        if (underline) prefix += "\\u1";
        if (!prefix.isEmpty()) str = "{" + prefix + "}" + str;
        auto hundredths = [](qint64 h, qint64 m, qint64 s, qint64 hs) {
            return ClampToInt((((h * 60 + m) * 60 + s) * 100 + hs) * 10);
        };
        ret.AddEntry(str, f->IsUnicode(), hundredths(hh1, mm1, ss1, hs1), hundredths(hh2, mm2, ss2, hs2));
    }
    return ret.GetCount() > 0;
}

}  // namespace kalvex::sts
