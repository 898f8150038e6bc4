#include "subtitles/STS.h"

#include <QColor>
#include <algorithm>
#include <climits>
#include <set>

#include "common/ProgramLog.h"
#include "subtitles/ReaderHelpers.h"
#include "subtitles/Scan.h"

namespace kalvex {

// ---------------------------------------------------------------------------
// Helpers shared by the readers

namespace sts {

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
void FinishStyle(STSStyle& style) {
    style.fontScaleX = std::max(style.fontScaleX, 0.0);
    style.fontScaleY = std::max(style.fontScaleY, 0.0);
    style.fontSpacing = std::max(style.fontSpacing, 0.0);
    style.borderStyle = style.borderStyle == 1 ? 0 : style.borderStyle == 3 ? 1 : 0;
    style.outlineWidth = std::max(style.outlineWidth, 0.0);
    style.shadowDepth = std::max(style.shadowDepth, 0.0);
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
    style = sts::TrimLeftStars(style);
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
    int unknown = 0;
    QString first;
    for (STSEntry& e : m_entries) {
        if (m_styles.count(e.style)) continue;
        if (!unknown++) first = e.style;
        if (warn && m_unknownStyleQuestion && !m_unknownStyleQuestion(e.style)) warn = false;
        e.style = "Default";
    }
    // Nobody to ask (the script engine): the log keeps it.
    if (unknown && !m_unknownStyleQuestion)
        LogLine("Subtitle %s: %d entries name a style that is not defined (first \"%s\"); they use \"Default\"",
                qPrintable(m_path), unknown, qPrintable(first));
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
    m_error = SubtitleReadError();
    QString streamName = name.isEmpty() ? StreamNameFromPath(path) : name;
    CWebTextFile f;
    if (!f.Open(path)) return false;
    return Open(&f, CharSet, streamName);
}

bool CSimpleTextSubtitle::Open(CTextFile* f, int CharSet, const QString& name) {
    Clear();
    m_error = SubtitleReadError();
    if (!f || !f->IsOpen()) return false;
    qint64 pos = f->GetPosition();
    for (const Reader& reader : kReaders) {
        if (!reader.open(f, *this, CharSet)) {
            if (GetCount() > 0) {
                // Told to the user by whoever opened the file.
                int n = CountLines(f, pos, f->GetPosition());
                m_error.kind = SubtitleReadError::SyntaxError;
                m_error.line = n + 1;
                m_error.text = QString::asprintf("Syntax error at line %d!\t", n + 1);
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

}  // namespace kalvex
