#pragma once
// Helpers that several text subtitle readers share (subtitles/formats/):
// line reading, field splitting, play resolution and embedded fonts. They
// are defined in STS.cpp, beside the model they fill.
#include <QByteArray>
#include <QString>
#include <algorithm>

#include "subtitles/Scan.h"

namespace kalvex {

class CTextFile;
class CSimpleTextSubtitle;
struct STSStyle;

namespace sts {

bool IsBlank(QChar c);
// s without the characters of chars at either end.
QString TrimChars(const QString& s, const QString& chars);
// s without its leading "*"s.
QString TrimLeftStars(QString s);
// Reads the next line, trimmed; false at the end of the file.
bool NextLine(CTextFile* f, QString& line);
// "key<sep>value": the key trimmed and lower-cased; false without sep.
bool SplitKey(const QString& line, QChar sep, QString& key, QString& value);
// 1280 wide goes with 1024 high; otherwise 4:3.
void SetPlayResX(CSimpleTextSubtitle& ret, int x);
void SetPlayResY(CSimpleTextSubtitle& ret, int y);
// Reads the encoded lines of an embedded font that follow a "fontname" key.
void LoadUUEFont(CTextFile* f, CSimpleTextSubtitle& ret, const QString& name);
// Scales, spacing, outline and shadow not below 0; border style 1 → 0, 3 → 1.
void FinishStyle(STSStyle& style);

// Comma-separated fields of a SubStation-like line, read from the front.
// A missing or malformed field clears ok; later reads then give defaults.
class Fields {
public:
    explicit Fields(const QString& s) : m_buff(s) {}

    QString Str(QChar sep = ',') {
        if (!ok) return QString();
        while (m_pos < m_buff.size() && IsBlank(m_buff[m_pos])) ++m_pos;
        qsizetype end = m_buff.indexOf(sep, m_pos);
        if (end < 0) {
            end = m_buff.size();
            if (end - m_pos < 1) {
                ok = false;
                return QString();
            }
        }
        QString r = m_buff.mid(m_pos, end - m_pos);
        m_pos = end < m_buff.size() ? end + 1 : m_buff.size();
        return r;
    }

    int Int(QChar sep = ',') {
        QString s = Str(sep).toLower();
        if (!ok) return 0;
        if (s.size() > 2 && (s.startsWith("&h") || s.startsWith("0x"))) {
            unsigned v = 0;
            if (ScanText(QStringView(s).mid(2), "%x", &v) != 1) return Fail();
            return static_cast<int>(v);
        }
        int v = 0;
        if (ScanText(s, "%d", &v) != 1) return Fail();
        return v;
    }

    // Colours may be written in decimal beyond the signed range.
    quint32 Color(QChar sep = ',') {
        QString s = Str(sep).toLower().trimmed();
        if (!ok) return 0;
        if (s.size() > 2 && (s.startsWith("&h") || s.startsWith("0x"))) {
            unsigned v = 0;
            if (ScanText(QStringView(s).mid(2), "%x", &v) != 1) return Fail();
            return v;
        }
        qsizetype i = 0;
        bool neg = false;
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
        if (i >= s.size() || !s[i].isDigit()) return Fail();
        quint64 v = 0;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
            v = std::min<quint64>(v * 10 + static_cast<quint64>(s[i].unicode() - '0'), 0xFFFFFFFFull);
        return neg ? static_cast<quint32>(0x100000000ull - v) : static_cast<quint32>(v);
    }

    double Float(QChar sep = ',') {
        QString s = Str(sep);
        if (!ok) return 0;
        double v = 0;
        if (ScanText(s, "%f", &v) != 1) return Fail();
        return v;
    }

    QString Rest() const { return m_buff.mid(m_pos); }
    bool ok = true;

private:
    int Fail() {
        ok = false;
        return 0;
    }
    QString m_buff;
    qsizetype m_pos = 0;
};

}  // namespace sts
}  // namespace kalvex
