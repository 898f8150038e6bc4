#include "subtitles/STS.h"

#include <QColor>
#include <algorithm>
#include <climits>
#include <set>

#include "platform/shell/Shell.h"
#include "subtitles/Scan.h"

namespace kalvex {

namespace {

constexpr int kMaxTime = 2147483647;

bool IsBlank(QChar c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

QString TrimChars(const QString& s, const QString& chars) {
    qsizetype b = 0, e = s.size();
    while (b < e && chars.contains(s[b])) ++b;
    while (e > b && chars.contains(s[e - 1])) --e;
    return s.mid(b, e - b);
}

QString TrimLeftStars(QString s) {
    qsizetype n = 0;
    while (n < s.size() && s[n] == '*') ++n;
    return n ? s.mid(n) : s;
}

// Reads the next line, trimmed; false at the end of the file.
bool NextLine(CTextFile* f, QString& line) {
    if (!f->ReadLine(line)) return false;
    line = line.trimmed();
    return true;
}

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

// "key<sep>value": the key trimmed and lower-cased; false without sep.
bool SplitKey(const QString& line, QChar sep, QString& key, QString& value) {
    // Keys and section names are short; a longer one is no known key, which
    // keeps scanning large non-subtitle files cheap.
    constexpr qsizetype kLongestKey = 64;
    qsizetype i = line.indexOf(sep);
    if (i < 0 || i > kLongestKey) {
        key = line.size() <= kLongestKey ? line.trimmed().toLower() : QString();
        value.clear();
        return false;
    }
    key = line.left(i).trimmed().toLower();
    value = line.mid(i + 1);
    return true;
}

// 1280 wide goes with 1024 high; otherwise 4:3.
void SetPlayResX(CSimpleTextSubtitle& ret, int x) {
    ret.m_playResX = x;
    if (ret.m_playResY <= 0) ret.m_playResY = x == 1280 ? 1024 : ClampToInt(static_cast<qint64>(x) * 3 / 4);
}
void SetPlayResY(CSimpleTextSubtitle& ret, int y) {
    ret.m_playResY = y;
    if (ret.m_playResX <= 0) ret.m_playResX = y == 1024 ? 1280 : ClampToInt(static_cast<qint64>(y) * 4 / 3);
}

// Reads the encoded lines of an embedded font that follow a "fontname" key.
void LoadUUEFont(CTextFile* f, CSimpleTextSubtitle& ret, const QString& name) {
    QByteArray encoded;
    QString line;
    for (;;) {
        qint64 pos = f->GetPosition();
        if (!NextLine(f, line)) break;
        if (line.isEmpty()) break;
        // A section header or the next font belongs to the caller again.
        if (line[0] == '[' || line.startsWith("fontname:", Qt::CaseInsensitive)) {
            f->Seek(pos);
            break;
        }
        encoded += line.toLatin1();
    }
    if (!encoded.isEmpty()) ret.m_fonts.push_back({name.trimmed(), sts::DecodeUUEFont(encoded)});
}

int AddAndCount(CSimpleTextSubtitle& ret) { return ret.GetCount(); }

}  // namespace

// ---------------------------------------------------------------------------
// Style and model

bool STSStyle::operator==(const STSStyle& o) const {
    return marginRect == o.marginRect && scrAlignment == o.scrAlignment && borderStyle == o.borderStyle &&
           outlineWidth == o.outlineWidth && shadowDepth == o.shadowDepth &&
           std::equal(colors, colors + 4, o.colors) && std::equal(alpha, alpha + 4, o.alpha) &&
           charSet == o.charSet && fontName == o.fontName && fontSize == o.fontSize &&
           fontScaleX == o.fontScaleX && fontScaleY == o.fontScaleY && fontSpacing == o.fontSpacing &&
           fontWeight == o.fontWeight && fItalic == o.fItalic && fUnderline == o.fUnderline &&
           fStrikeOut == o.fStrikeOut && fBlur == o.fBlur && fontAngleZ == o.fontAngleZ &&
           fontAngleX == o.fontAngleX && fontAngleY == o.fontAngleY && relativeTo == o.relativeTo;
}

CSimpleTextSubtitle::CSimpleTextSubtitle() = default;
CSimpleTextSubtitle::~CSimpleTextSubtitle() = default;

void CSimpleTextSubtitle::Clear() {
    m_entries.clear();
    m_styles.clear();
    m_segments.clear();
    m_segmentsDirty = true;
    m_fonts.clear();
    m_playResX = m_playResY = 0;
    m_defaultWrapStyle = 0;
    m_collisions = 0;
    m_fScaledBAS = false;
}

const STSStyle* CSimpleTextSubtitle::FindStyle(const QString& name) const {
    auto it = m_styles.find(name);
    return it == m_styles.end() ? nullptr : &it->second;
}

QString CSimpleTextSubtitle::StreamNameFromPath(const QString& path) {
    QString p = path;
    p.replace('\\', '/');
    qsizetype dot = p.lastIndexOf('.');
    if (dot > p.lastIndexOf('/')) p.truncate(dot);
    p = p.mid(p.lastIndexOf('/') + 1);
    qsizetype dot2 = p.lastIndexOf('.');
    if (dot2 >= 0) p = p.mid(dot2 + 1);
    return p;
}

void CSimpleTextSubtitle::AddEntry(QString str, bool fUnicode, int start, int end, QString style, QString actor,
                                   QString effect, MarginRect marginRect, int layer, int readorder) {
    str = str.trimmed();
    if (str.isEmpty() || start > end) return;
    str.remove('\r');
    str.replace("\n", "\\N");
    style = TrimLeftStars(style);
    if (style.isEmpty()) style = "Default";
    STSEntry e;
    e.str = std::move(str);
    e.fUnicode = fUnicode;
    e.style = std::move(style);
    e.actor = std::move(actor);
    e.effect = std::move(effect);
    e.marginRect = marginRect;
    e.layer = layer;
    e.readorder = readorder < 0 ? GetCount() : readorder;
    e.start = start;
    e.end = end;
    m_entries.push_back(std::move(e));
    m_segmentsDirty = true;
}

void CSimpleTextSubtitle::StoreStyle(QString name, const STSStyle& style) {
    if (name.isEmpty()) name = "Default";
    auto it = m_styles.find(name);
    if (it == m_styles.end()) {
        m_styles.emplace(name, style);
        return;
    }
    if (it->second == style) return;

    // The style already stored moves to a free numbered name; its entries follow.
    qsizetype digits = name.size();
    while (digits > 0 && name[digits - 1].unicode() >= '0' && name[digits - 1].unicode() <= '9') --digits;
    QString base = name.left(digits);
    qint64 number = 1;
    if (digits < name.size()) {
        number = 0;
        for (qsizetype i = digits; i < name.size() && number < 1000000000000LL; ++i)
            number = number * 10 + (name[i].unicode() - '0');
    }
    QString newName;
    do {
        ++number;
        newName = base + QString::number(number);
    } while (m_styles.count(newName));
    m_styles.emplace(newName, it->second);
    for (STSEntry& e : m_entries)
        if (e.style == name) e.style = newName;
    it->second = style;
}

void CSimpleTextSubtitle::EnsureDefaultStyle(int CharSet) {
    if (m_styles.count("Default")) return;
    STSStyle style;
    style.charSet = CharSet;
    m_styles.emplace("Default", style);
}

void CSimpleTextSubtitle::ResolveUnknownStyles() {
    bool warn = true;
    for (STSEntry& e : m_entries) {
        if (m_styles.count(e.style)) continue;
        if (warn) {
            QString text = QString("Unknown style found: \"%1\", changed to \"Default\"!\n\n"
                                   "Press Cancel to ignore further warnings.")
                               .arg(e.style);
            if (MessageBox(text, "Warning", MB_OKCANCEL | MB_ICONWARNING) != IDOK) warn = false;
        }
        e.style = "Default";
    }
}

const std::vector<STSSegment>& CSimpleTextSubtitle::Segments() const {
    if (!m_segmentsDirty) return m_segments;
    m_segments.clear();
    struct Event {
        int time;
        bool start;
        int index;
    };
    std::vector<Event> events;
    events.reserve(m_entries.size() * 2);
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const STSEntry& e = m_entries[i];
        if (e.start >= e.end) continue;
        events.push_back({e.start, true, static_cast<int>(i)});
        events.push_back({e.end, false, static_cast<int>(i)});
    }
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.time < b.time; });
    std::set<int> active;
    for (size_t k = 0; k < events.size();) {
        int t = events[k].time;
        for (; k < events.size() && events[k].time == t; ++k) {
            if (events[k].start) active.insert(events[k].index);
            else active.erase(events[k].index);
        }
        if (k < events.size() && !active.empty()) {
            STSSegment seg;
            seg.start = t;
            seg.end = events[k].time;
            seg.entries.assign(active.begin(), active.end());
            m_segments.push_back(std::move(seg));
        }
    }
    m_segmentsDirty = false;
    return m_segments;
}

// ---------------------------------------------------------------------------
// Opening

namespace {

using OpenFunction = bool (*)(CTextFile*, CSimpleTextSubtitle&, int);

struct Reader {
    OpenFunction open;
    tmode mode;
};

const Reader kReaders[] = {
    {sts::OpenSubRipper, TIME}, {sts::OpenOldSubRipper, TIME}, {sts::OpenSubViewer, TIME},
    {sts::OpenMicroDVD, FRAME}, {sts::OpenSami, TIME},         {sts::OpenVPlayer, TIME},
    {sts::OpenSubStationAlpha, TIME}, {sts::OpenXombieSub, TIME}, {sts::OpenUSF, TIME},
    {sts::OpenMPL2, TIME},
};

// Lines between from and to, not counting the one that ends at to.
int CountLines(CTextFile* f, qint64 from, qint64 to) {
    int n = 0;
    QString s;
    f->Seek(from);
    while (f->ReadLine(s) && f->GetPosition() < to) ++n;
    return n;
}

}  // namespace

bool CSimpleTextSubtitle::Open(const QString& path, int CharSet, const QString& name) {
    Clear();
    QString streamName = name.isEmpty() ? StreamNameFromPath(path) : name;
    CWebTextFile f;
    if (!f.Open(path)) return false;
    return Open(&f, CharSet, streamName);
}

bool CSimpleTextSubtitle::Open(CTextFile* f, int CharSet, const QString& name) {
    Clear();
    if (!f || !f->IsOpen()) return false;
    qint64 pos = f->GetPosition();
    for (const Reader& reader : kReaders) {
        if (!reader.open(f, *this, CharSet)) {
            if (GetCount() > 0) {
                int n = CountLines(f, pos, f->GetPosition());
                MessageBox(QString::asprintf("Syntax error at line %d!\t", n + 1), kAppCaption, MB_OK | MB_ICONERROR);
                Clear();
                return false;
            }
            f->Seek(pos);
            Clear();
            continue;
        }
        m_name = name;
        m_mode = reader.mode;
        m_encoding = f->GetEncoding();
        m_path = f->GetFilePath();
        m_segmentsDirty = true;

        // A companion "<subtitle>.style" file adds its SubStation styles.
        CWebTextFile companion;
        if (!m_path.startsWith("http://", Qt::CaseInsensitive) && companion.Open(m_path + ".style"))
            sts::OpenSubStationAlpha(&companion, *this, CharSet);

        EnsureDefaultStyle(CharSet);
        ResolveUnknownStyles();
        if (m_playResX <= 0 && m_playResY <= 0) {
            m_playResX = 384;
            m_playResY = 288;
        }
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Readers

namespace sts {

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

namespace {

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

bool HtmlColorToBGR(QString value, quint32& bgr) {
    value = TrimChars(value.trimmed(), "\"'");
    quint32 rgb;
    auto allHex = [](const QString& s) {
        for (QChar c : s)
            if (!c.isDigit() && !(c.toLower() >= 'a' && c.toLower() <= 'f')) return false;
        return !s.isEmpty();
    };
    if (value.startsWith('#')) value = value.mid(1);
    else if (QColor::isValidColorName(value)) {
        QColor c = QColor::fromString(value);
        rgb = (static_cast<quint32>(c.red()) << 16) | (static_cast<quint32>(c.green()) << 8) | c.blue();
        bgr = ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
        return true;
    }
    if (!allHex(value) || (value.size() != 6 && value.size() != 3)) return false;
    if (value.size() == 3) {
        const QChar c[6] = {value[0], value[0], value[1], value[1], value[2], value[2]};
        value = QString(c, 6);
    }
    rgb = value.toUInt(nullptr, 16);
    bgr = ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
    return true;
}

QString SamiToSSA(const QString& html) {
    QString out;
    out.reserve(html.size());
    for (qsizetype i = 0; i < html.size();) {
        if (html[i] != '<') {
            out += html[i++];
            continue;
        }
        qsizetype j = html.indexOf('>', i);
        if (j < 0) {
            out += html.mid(i);
            break;
        }
        QString tag = html.mid(i + 1, j - i - 1).trimmed().toLower();
        i = j + 1;
        QString bare = tag;
        if (bare.endsWith('/')) bare = bare.left(bare.size() - 1).trimmed();
        if (bare == "br") out += "\\N";
        else if (bare == "i") out += "{\\i1}";
        else if (bare == "/i") out += "{\\i}";
        else if (bare == "b") out += "{\\b1}";
        else if (bare == "/b") out += "{\\b}";
        else if (bare == "u") out += "{\\u1}";
        else if (bare == "/u") out += "{\\u}";
        else if (bare == "/font") out += "{\\c}";
        else if (bare.startsWith("font") && (bare.size() == 4 || IsBlank(bare[4]))) {
            qsizetype c = bare.indexOf("color");
            if (c >= 0) {
                qsizetype eq = bare.indexOf('=', c);
                QString value = eq >= 0 ? bare.mid(eq + 1).trimmed() : QString();
                if (value.startsWith('"') || value.startsWith('\'')) {
                    qsizetype e = value.indexOf(value[0], 1);
                    value = value.mid(1, e < 0 ? -1 : e - 1);
                } else {
                    qsizetype e = 0;
                    while (e < value.size() && !IsBlank(value[e])) ++e;
                    value.truncate(e);
                }
                quint32 bgr;
                if (HtmlColorToBGR(value, bgr)) out += QString::asprintf("{\\c&H%06X&}", static_cast<unsigned>(bgr));
            }
        }
        // Any other tag (SYNC, P, SPAN, BODY, ...) carries no text.
    }
    out.replace("&nbsp;", " ", Qt::CaseInsensitive);
    out.replace("&quot;", "\"", Qt::CaseInsensitive);
    out.replace("&lt;", "<", Qt::CaseInsensitive);
    out.replace("&gt;", ">", Qt::CaseInsensitive);
    out.replace("&amp;", "&", Qt::CaseInsensitive);
    // HTML white space: runs become one blank, none around a line break.
    QString collapsed;
    collapsed.reserve(out.size());
    for (QChar c : out) {
        if (IsBlank(c)) {
            if (!collapsed.isEmpty() && collapsed.back() != ' ') collapsed += ' ';
        } else {
            collapsed += c;
        }
    }
    collapsed.replace(" \\N", "\\N");
    collapsed.replace("\\N ", "\\N");
    return collapsed;
}

bool OpenSami(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    qint64 pos = f->GetPosition();
    QString buff;
    bool sami = false;
    while (f->ReadLine(buff)) {
        if (buff.contains(u'\0')) return false;  // binary data, no text file
        if (buff.contains(QLatin1String("<SAMI>"), Qt::CaseInsensitive)) {
            sami = true;
            break;
        }
    }
    if (!sami) return false;
    f->Seek(pos);

    bool skipping = false, inStyle = false;
    int startTime = 0;
    QString caption;
    while (NextLine(f, buff)) {
        if (buff.isEmpty()) continue;
        QString u = buff.toUpper();
        if (u.contains("<!--") || u.contains("<TITLE>")) skipping = true;
        if (u.contains("<STYLE")) inStyle = true;  // style sheets are no caption text either
        if (!skipping && !inStyle) {
            qsizetype i = u.indexOf("<SYNC START=");
            if (i >= 0) {
                qint64 time = 0;
                for (qsizetype k = i + 12; k < u.size() && u[k] != '>' && u[k] != 'M'; ++k)
                    if (u[k] >= '0' && u[k] <= '9') time = std::min<qint64>(time * 10 + (u[k].unicode() - '0'), kMaxTime);
                ret.AddEntry(SamiToSSA(caption), f->IsUnicode(), startTime, static_cast<int>(time));
                startTime = static_cast<int>(time);
                caption.clear();
            }
            if (!caption.isEmpty()) caption += ' ';
            caption += buff;
        }
        if (u.contains("-->") || u.contains("</TITLE>")) skipping = false;
        if (u.contains("</STYLE>")) inStyle = false;
    }
    ret.AddEntry(SamiToSSA(caption), f->IsUnicode(), startTime, kMaxTime);
    return true;
}

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

namespace {

void FinishStyle(STSStyle& style) {
    style.fontScaleX = std::max(style.fontScaleX, 0.0);
    style.fontScaleY = std::max(style.fontScaleY, 0.0);
    style.fontSpacing = std::max(style.fontSpacing, 0.0);
    style.borderStyle = style.borderStyle == 1 ? 0 : style.borderStyle == 3 ? 1 : 0;
    style.outlineWidth = std::max(style.outlineWidth, 0.0);
    style.shadowDepth = std::max(style.shadowDepth, 0.0);
}

}  // namespace

bool OpenSubStationAlpha(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    bool fRet = false;
    int version = 3, sver = 3;
    bool scriptTypeSeen = false;
    QString buff, key, value;
    while (NextLine(f, buff)) {
        if (buff.isEmpty() || buff[0] == ';') continue;
        SplitKey(buff, ':', key, value);
        if (key == "[script info]") {
            fRet = true;
        } else if (key == "playresx") {
            int x;
            if (ScanText(value, "%d", &x) != 1) return false;
            SetPlayResX(ret, x);
        } else if (key == "playresy") {
            int y;
            if (ScanText(value, "%d", &y) != 1) return false;
            SetPlayResY(ret, y);
        } else if (key == "wrapstyle") {
            int w;
            if (ScanText(value, "%d", &w) != 1) return false;
            ret.m_defaultWrapStyle = w;
        } else if (key == "scripttype") {
            QString v = value.trimmed();
            if (v.endsWith("4.00", Qt::CaseInsensitive)) version = sver = 4, scriptTypeSeen = true;
            else if (v.endsWith("4.00+", Qt::CaseInsensitive)) version = sver = 5, scriptTypeSeen = true;
            else if (v.endsWith("4.00++", Qt::CaseInsensitive)) version = sver = 6, scriptTypeSeen = true;
        } else if (key == "collisions") {
            ret.m_collisions = value.toLower().contains("reverse") ? 1 : 0;
        } else if (key == "scaledborderandshadow") {
            ret.m_fScaledBAS = value.toLower().contains("yes");
        } else if (key == "[v4 styles]" || key == "[v4+ styles]" || key == "[v4++ styles]") {
            fRet = true;
            sver = key == "[v4 styles]" ? 4 : key == "[v4+ styles]" ? 5 : 6;
            // Without a script type the events follow the styles' version.
            if (!scriptTypeSeen) version = sver;
        } else if (key == "[events]") {
            fRet = true;
        } else if (key == "style") {
            Fields in(value);
            STSStyle style;
            int alpha = 0;
            QString name = in.Str().trimmed();
            style.fontName = in.Str().trimmed();
            style.fontSize = in.Float();
            for (quint32& c : style.colors) c = in.Color();
            style.fontWeight = in.Int() ? FW_BOLD : FW_NORMAL;
            style.fItalic = in.Int() != 0;
            if (sver >= 5) {
                style.fUnderline = in.Int() != 0;
                style.fStrikeOut = in.Int() != 0;
                style.fontScaleX = in.Float();
                style.fontScaleY = in.Float();
                style.fontSpacing = in.Float();
                style.fontAngleZ = in.Float();
            }
            if (sver >= 4) style.borderStyle = in.Int();
            style.outlineWidth = in.Float();
            style.shadowDepth = in.Float();
            style.scrAlignment = in.Int();
            style.marginRect.left = in.Int();
            style.marginRect.right = in.Int();
            style.marginRect.top = style.marginRect.bottom = in.Int();
            if (sver >= 6) style.marginRect.bottom = in.Int();
            if (sver <= 4) alpha = in.Int();
            style.charSet = in.Int();
            if (sver >= 6) style.relativeTo = in.Int();
            if (!in.ok) return false;
            if (sver <= 4) {
                style.colors[2] = style.colors[3];
                alpha = std::clamp(alpha, 0, 255);
                for (int i = 0; i < 3; ++i) style.alpha[i] = static_cast<quint8>(alpha);
                style.alpha[3] = 0x80;
            } else {
                for (int i = 0; i < 4; ++i) {
                    style.alpha[i] = static_cast<quint8>(style.colors[i] >> 24);
                    style.colors[i] &= 0xFFFFFF;
                }
            }
            style.fontAngleX = style.fontAngleY = 0;
            FinishStyle(style);
            if (sver <= 4) {
                int a = style.scrAlignment;
                style.scrAlignment = (a & 4) ? ((a & 3) + 6) : (a & 8) ? ((a & 3) + 3) : (a & 3);
            }
            ret.StoreStyle(TrimLeftStars(name), style);
        } else if (key == "dialogue") {
            Fields in(value);
            int layer = 0;
            if (version <= 4) {
                // "Marked=0"; files that name no script type may still carry
                // a layer number here instead.
                QString first = in.Str().trimmed();
                if (!first.contains('=') && ScanText(first, "%d", &layer) != 1) return false;
            } else {
                layer = in.Int();
            }
            int hh1 = in.Int(':'), mm1 = in.Int(':'), ss1 = in.Int('.'), cs1 = in.Int();
            int hh2 = in.Int(':'), mm2 = in.Int(':'), ss2 = in.Int('.'), cs2 = in.Int();
            QString style = TrimLeftStars(in.Str().trimmed());
            QString actor = in.Str();
            MarginRect margin;
            margin.left = in.Int();
            margin.right = in.Int();
            margin.top = margin.bottom = in.Int();
            if (version >= 6) margin.bottom = in.Int();
            QString effect = in.Str();
            if (!in.ok) return false;
            if (style.compare("Default", Qt::CaseInsensitive) == 0) style = "Default";
            ret.AddEntry(in.Rest(), f->IsUnicode(), ClampToInt(TimeToMs(hh1, mm1, ss1, static_cast<qint64>(cs1) * 10)),
                         ClampToInt(TimeToMs(hh2, mm2, ss2, static_cast<qint64>(cs2) * 10)), style, actor, effect,
                         margin, layer);
        } else if (key == "fontname") {
            LoadUUEFont(f, ret, value);
        }
    }
    return fRet;
}

bool OpenXombieSub(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    QString buff, key, value;
    while (NextLine(f, buff)) {
        if (buff.isEmpty() || buff[0] == ';') continue;
        SplitKey(buff, '=', key, value);
        if (key == "version") {
            double v;
            if (ScanText(value, "%f", &v) != 1) return false;
        } else if (key == "screenhorizontal") {
            int x;
            if (ScanText(value, "%d", &x) != 1) return false;
            SetPlayResX(ret, x);
        } else if (key == "screenvertical") {
            int y;
            if (ScanText(value, "%d", &y) != 1) return false;
            SetPlayResY(ret, y);
        } else if (key == "style") {
            Fields in(value);
            STSStyle style;
            QString name = in.Str().trimmed();
            name += "_" + in.Str().trimmed();
            style.fontName = in.Str().trimmed();
            style.fontSize = in.Float();
            for (quint32& c : style.colors) c = in.Color() & 0xFFFFFF;
            for (quint8& a : style.alpha) a = static_cast<quint8>(std::clamp(in.Int(), 0, 255));
            style.fontWeight = in.Int() ? FW_BOLD : FW_NORMAL;
            style.fItalic = in.Int() != 0;
            style.fUnderline = in.Int() != 0;
            style.fStrikeOut = in.Int() != 0;
            style.fBlur = in.Int() != 0;
            style.fontScaleX = in.Float();
            style.fontScaleY = in.Float();
            style.fontSpacing = in.Float();
            style.fontAngleX = in.Float();
            style.fontAngleY = in.Float();
            style.fontAngleZ = in.Float();
            style.borderStyle = in.Int();
            style.outlineWidth = in.Float();
            style.shadowDepth = in.Float();
            style.scrAlignment = in.Int();
            style.marginRect.left = in.Int();
            style.marginRect.right = in.Int();
            style.marginRect.top = style.marginRect.bottom = in.Int();
            style.charSet = in.Int();
            if (!in.ok) return false;
            FinishStyle(style);
            ret.StoreStyle(TrimLeftStars(name), style);
        } else if (key == "line") {
            Fields in(value);
            QString kind = in.Str().trimmed();
            if (kind == "D") continue;
            // The second field is the line's layer when it is a number.
            QString second = in.Str().trimmed();
            int layer = 0;
            if (ScanText(second, "%d", &layer) != 1) layer = 0;
            int hh1 = in.Int(':'), mm1 = in.Int(':'), ss1 = in.Int('.'), cs1 = in.Int();
            int hh2 = in.Int(':'), mm2 = in.Int(':'), ss2 = in.Int('.'), cs2 = in.Int();
            QString style = in.Str().trimmed();
            style += "_" + in.Str().trimmed();
            QString actor = in.Str();
            MarginRect margin;
            margin.left = in.Int();
            margin.right = in.Int();
            margin.top = margin.bottom = in.Int();
            if (!in.ok) return false;
            style = TrimLeftStars(style);
            if (style.compare("Default", Qt::CaseInsensitive) == 0) style = "Default";
            ret.AddEntry(in.Rest(), f->IsUnicode(), ClampToInt(TimeToMs(hh1, mm1, ss1, static_cast<qint64>(cs1) * 10)),
                         ClampToInt(TimeToMs(hh2, mm2, ss2, static_cast<qint64>(cs2) * 10)), style, actor, QString(),
                         margin, layer);
        } else if (key == "fontname") {
            LoadUUEFont(f, ret, value);
        }
    }
    return ret.GetCount() > 0;
}

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

QByteArray DecodeUUEFont(const QByteArray& text) {
    // Every character carries six bits (its value minus 33); four characters
    // make three bytes, a shorter last group one or two.
    QByteArray out;
    out.reserve(text.size() * 3 / 4 + 3);
    quint32 acc = 0;
    int n = 0;
    for (char ch : text) {
        int v = static_cast<unsigned char>(ch) - 33;
        if (v < 0 || v > 63) continue;
        acc = (acc << 6) | static_cast<quint32>(v);
        if (++n == 4) {
            out.append(static_cast<char>((acc >> 16) & 0xFF));
            out.append(static_cast<char>((acc >> 8) & 0xFF));
            out.append(static_cast<char>(acc & 0xFF));
            acc = 0;
            n = 0;
        }
    }
    if (n == 2) {
        out.append(static_cast<char>((acc >> 4) & 0xFF));
    } else if (n == 3) {
        out.append(static_cast<char>((acc >> 10) & 0xFF));
        out.append(static_cast<char>((acc >> 2) & 0xFF));
    }
    return out;
}

}  // namespace sts

}  // namespace kalvex
