// SubRip: numbered entries with "hh:mm:ss,ms --> hh:mm:ss,ms" time lines.
#include "subtitles/formats/Readers.h"

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

QString SubRipToSSA(QString str) {
    str.replace("<i>", "{\\i1}");
    str.replace("</i>", "{\\i}");
    str.replace("<b>", "{\\b1}");
    str.replace("</b>", "{\\b}");
    str.replace("<u>", "{\\u1}");
    str.replace("</u>", "{\\u}");
    // Colour tags are common in SubRip files; anything else in angle
    // brackets is left as written.
    if (str.contains("<font", Qt::CaseInsensitive) || str.contains("</font>", Qt::CaseInsensitive)) {
        QString out;
        qsizetype i = 0;
        while (i < str.size()) {
            if (str[i] == '<') {
                qsizetype j = str.indexOf('>', i);
                if (j > i) {
                    QString tag = str.mid(i + 1, j - i - 1).trimmed().toLower();
                    if (tag == "/font") {
                        out += "{\\c}";
                        i = j + 1;
                        continue;
                    }
                    if (tag.startsWith("font") && (tag.size() == 4 || IsBlank(tag[4]))) {
                        qsizetype c = tag.indexOf("color");
                        quint32 bgr;
                        if (c >= 0) {
                            qsizetype eq = tag.indexOf('=', c);
                            QString value = eq >= 0 ? tag.mid(eq + 1).trimmed() : QString();
                            if (value.startsWith('"') || value.startsWith('\'')) {
                                QChar q = value[0];
                                qsizetype e = value.indexOf(q, 1);
                                value = value.mid(1, e < 0 ? -1 : e - 1);
                            } else {
                                qsizetype e = 0;
                                while (e < value.size() && !IsBlank(value[e])) ++e;
                                value.truncate(e);
                            }
                            if (HtmlColorToBGR(value, bgr))
                                out += QString::asprintf("{\\c&H%06X&}", static_cast<unsigned>(bgr));
                        }
                        i = j + 1;
                        continue;
                    }
                }
            }
            out += str[i++];
        }
        str = out;
    }
    return str;
}

bool OpenSubRipper(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    QString buff;
    while (NextLine(f, buff)) {
        if (buff.isEmpty()) continue;
        QChar sep;
        int hh1, mm1, ss1, ms1, hh2, mm2, ss2, ms2;
        int c = ScanText(buff, "%d%c%d%c%d%c%d --> %d%c%d%c%d%c%d\n", &hh1, &sep, &mm1, &sep, &ss1, &sep, &ms1,
                         &hh2, &sep, &mm2, &sep, &ss2, &sep, &ms2);
        if (c == 1) continue;  // sequence number
        if (c != 14) return false;
        QString str, tmp;
        bool foundEmpty = false;
        for (;;) {
            qint64 linePos = f->GetPosition();
            if (!NextLine(f, tmp)) break;
            if (tmp.isEmpty()) foundEmpty = true;
            if (foundEmpty) {
                int num;
                QChar ch;
                if (ScanText(tmp, "%d%c", &num, &ch) == 1) break;  // the next sequence number
                // A time line after an empty line starts the next entry even
                // when the file leaves out the sequence numbers.
                int v[8];
                QChar s2;
                if (ScanText(tmp, "%d%c%d%c%d%c%d --> %d%c%d%c%d%c%d\n", &v[0], &s2, &v[1], &s2, &v[2], &s2, &v[3],
                             &v[4], &s2, &v[5], &s2, &v[6], &s2, &v[7]) == 14) {
                    f->Seek(linePos);
                    break;
                }
            }
            str += tmp;
            str += '\n';
        }
        ret.AddEntry(SubRipToSSA(str), f->IsUnicode(), ClampToInt(TimeToMs(hh1, mm1, ss1, ms1)),
                     ClampToInt(TimeToMs(hh2, mm2, ss2, ms2)));
    }
    return ret.GetCount() > 0;
}

}  // namespace kalvex::sts
