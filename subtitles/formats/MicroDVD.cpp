// MicroDVD: "{start}{end}text" in frame numbers, style headers and control codes.
#include "subtitles/formats/Readers.h"

#include <QStringList>

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

namespace {

int AddAndCount(CSimpleTextSubtitle& ret) { return ret.GetCount(); }

// "{n}" at s[i]; i moves past it.
bool ReadBracedInt(const QString& s, qsizetype& i, int& v) {
    qsizetype p = i;
    if (p >= s.size() || s[p] != '{') return false;
    ++p;
    if (!ScanIntAt(s, p, v)) return false;
    while (p < s.size() && IsBlank(s[p])) ++p;
    if (p >= s.size() || s[p] != '}') return false;
    i = p + 1;
    return true;
}

// The codes of a MicroDVD style header; false when none is recognised.
bool ParseMicroDVDStyle(const QString& codes, STSStyle& style) {
    bool any = false;
    for (qsizetype i = 0; i < codes.size();) {
        qsizetype j = codes.indexOf('{', i);
        if (j < 0) break;
        qsizetype k = codes.indexOf('}', j);
        if (k < 0) k = codes.size();
        QString code = codes.mid(j + 1, k - j - 1);
        i = k + 1;
        if (code.size() < 2 || code[1] != ':') continue;
        QChar letter = code[0].toLower();
        QString value = code.mid(2);
        if (letter == 'c' && value.startsWith('$')) {
            unsigned c;
            if (ScanText(QStringView(value).mid(1), "%x", &c) == 1) style.colors[0] = c & 0xFFFFFF, any = true;
        } else if (letter == 'f') {
            if (!value.trimmed().isEmpty()) style.fontName = value.trimmed(), any = true;
        } else if (letter == 's') {
            double size;
            if (ScanText(value, "%f", &size) == 1 && size > 0) style.fontSize = size, any = true;
        } else if (letter == 'h') {
            int cs;
            if (ScanText(value, "%d", &cs) == 1) style.charSet = cs, any = true;
        } else if (letter == 'y') {
            QString v = value.toLower();
            if (v.contains('b')) style.fontWeight = FW_BOLD;
            if (v.contains('i')) style.fItalic = true;
            if (v.contains('u')) style.fUnderline = true;
            if (v.contains('s')) style.fStrikeOut = true;
            any = true;
        } else if (letter == 'p') {
            // Position: 0 puts the text at the top, anything else at the bottom.
            int p;
            if (ScanText(value, "%d", &p) == 1) style.scrAlignment = p == 0 ? 8 : 2, any = true;
        }
    }
    return any;
}

}  // namespace

QString MicroDVDToSSA(const QString& str) {
    enum { COLOR, FONTNAME, FONTSIZE, FONTCHARSET, BOLD, ITALIC, UNDERLINE, STRIKEOUT, COUNT };
    static const char* const kClose[COUNT] = {"{\\c}", "{\\fn}", "{\\fs}", "{\\fe}",
                                              "{\\b}", "{\\i}",  "{\\u}",  "{\\s}"};
    QString ret;
    const QStringList lines = str.split('|');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QString& line = lines[n];
        bool restore[COUNT] = {};
        qsizetype i = 0;
        while (i < line.size() && line[i] == '{') {
            qsizetype j = line.indexOf('}', i);
            if (j < 0) break;
            QString code = line.mid(i + 1, j - i - 1);
            if (code.size() < 2 || code[1] != ':') break;
            // A lower-case letter: the code holds for its own line only.
            bool lineOnly = code[0].isLower();
            QChar letter = code[0].toLower();
            QString value = code.mid(2);
            if (letter == 'c') {
                unsigned c = 0;
                if (value.startsWith('$') && ScanText(QStringView(value).mid(1), "%x", &c) == 1) {
                    ret += QString::asprintf("{\\c&H%x&}", c & 0xFFFFFF);
                    restore[COLOR] |= lineOnly;
                }
            } else if (letter == 'f') {
                ret += "{\\fn" + value + "}";
                restore[FONTNAME] |= lineOnly;
            } else if (letter == 's') {
                double size;
                if (ScanText(value, "%f", &size) == 1) {
                    ret += QString::asprintf("{\\fs%f}", size);
                    restore[FONTSIZE] |= lineOnly;
                }
            } else if (letter == 'h') {
                int cs;
                if (ScanText(value, "%d", &cs) == 1) {
                    ret += QString::asprintf("{\\fe%d}", cs);
                    restore[FONTCHARSET] |= lineOnly;
                }
            } else if (letter == 'y') {
                QString v = value.toLower();
                QString tags;
                if (v.contains('b')) tags += "\\b1", restore[BOLD] |= lineOnly;
                if (v.contains('i')) tags += "\\i1", restore[ITALIC] |= lineOnly;
                if (v.contains('u')) tags += "\\u1", restore[UNDERLINE] |= lineOnly;
                if (v.contains('s')) tags += "\\s1", restore[STRIKEOUT] |= lineOnly;
                if (!tags.isEmpty()) ret += "{" + tags + "}";
            } else if (letter == 'o') {
                int x, y;
                QChar c;
                // A fixed position: the text moves from (x,y) to (x,y).
                if (ScanText(value, "%d%c%d", &x, &c, &y) == 3)
                    ret += QString::asprintf("{\\move(%d,%d,%d,%d,0,0)}", x, y, x, y);
            }
            i = j + 1;
        }
        ret += line.mid(i);
        for (int k = 0; k < COUNT; ++k)
            if (restore[k]) ret += kClose[k];
        if (n + 1 < lines.size()) ret += "\\N";
    }
    return ret;
}

bool OpenMicroDVD(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet) {
    QString buff;
    int openEntry = -1;  // an entry written "{start}{}" waits for the next start
    while (NextLine(f, buff)) {
        if (buff.isEmpty()) continue;
        qsizetype p = 0;
        int start = 0, end = 0;
        bool open = false;
        if (ReadBracedInt(buff, p, start)) {
            if (ReadBracedInt(buff, p, end)) {
            } else if (QStringView(buff).mid(p).startsWith(u"{}")) {
                p += 2;
                open = true;
                end = ClampToInt(static_cast<qint64>(start) + 60);
            } else {
                return false;
            }
        } else {
            // "{name}{}" followed by codes defines a style.
            qsizetype close = buff.indexOf('}');
            if (buff.startsWith('{') && close > 1 && QStringView(buff).mid(close + 1).startsWith(u"{}")) {
                STSStyle style;
                style.charSet = CharSet;
                if (ParseMicroDVDStyle(buff.mid(close + 3), style)) {
                    QString name = buff.mid(1, close - 1).trimmed();
                    name = name.left(1).toUpper() + name.mid(1).toLower();
                    ret.StoreStyle(name, style);
                    CharSet = style.charSet;
                    continue;
                }
            }
            return false;
        }
        if (openEntry >= 0 && openEntry < ret.GetCount()) {
            STSEntry& prev = ret.MutableEntries()[static_cast<size_t>(openEntry)];
            if (start >= prev.start) prev.end = start;
        }
        openEntry = -1;
        int before = AddAndCount(ret);
        ret.AddEntry(MicroDVDToSSA(buff.mid(p)), f->IsUnicode(), start, end);
        if (open && ret.GetCount() > before) openEntry = before;
    }
    return ret.GetCount() > 0;
}

}  // namespace kalvex::sts
