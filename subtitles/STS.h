#pragma once
// The text subtitle model: timed entries whose texts carry SubStation Alpha
// override tags, named styles, and the readers of ten text formats that fill
// it (SubRip, old SubRip, SubViewer, MicroDVD, SAMI, VPlayer, SubStation
// Alpha / Advanced SubStation, XombieSub, USF and MPL2).
#include <QByteArray>
#include <QString>
#include <map>
#include <vector>

#include "subtitles/ReadError.h"
#include "subtitles/TextFile.h"

namespace kalvex {

enum : int { ANSI_CHARSET = 0, DEFAULT_CHARSET = 1 };
enum : int { FW_LIGHT = 300, FW_NORMAL = 400, FW_BOLD = 700, FW_HEAVY = 900 };

// Times are milliseconds, or frame numbers for MicroDVD files.
enum tmode { TIME = 0, FRAME = 1 };

struct MarginRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const MarginRect&) const = default;
};

struct STSStyle {
    MarginRect marginRect{20, 20, 20, 20};
    int scrAlignment = 2;          // numeric keypad layout, 1 to 9
    int borderStyle = 0;           // 0 outline, 1 opaque box
    double outlineWidth = 2.0;
    double shadowDepth = 3.0;
    quint32 colors[4] = {0x00FFFFFF, 0x0000FFFF, 0, 0};  // primary, secondary, outline, back (0x00BBGGRR)
    quint8 alpha[4] = {0, 0, 0, 128};                    // 0 opaque .. 255 transparent
    int charSet = DEFAULT_CHARSET;
    QString fontName = "Arial";
    double fontSize = 18.0;
    double fontScaleX = 100.0, fontScaleY = 100.0;
    double fontSpacing = 0.0;
    int fontWeight = FW_BOLD;
    bool fItalic = false, fUnderline = false, fStrikeOut = false, fBlur = false;
    double fontAngleZ = 0.0, fontAngleX = 0.0, fontAngleY = 0.0;
    int relativeTo = 2;

    bool operator==(const STSStyle& other) const;
    bool operator!=(const STSStyle& other) const { return !(*this == other); }
};

// Style name → style. Names are compared exactly.
using CSTSStyleMap = std::map<QString, STSStyle>;

struct STSEntry {
    QString str;        // with override tags in braces and \N for a line break
    bool fUnicode = false;
    QString style = "Default", actor, effect;
    MarginRect marginRect;
    int layer = 0;
    int readorder = 0;
    int start = 0, end = 0;
};

// One stretch of the time line between two neighbouring entry starts/ends
// and the entries (indices) visible during it.
struct STSSegment {
    int start = 0, end = 0;
    std::vector<int> entries;
};

// A font embedded in a SubStation file ("fontname" and its encoded lines),
// decoded; handed to the renderer.
struct EmbeddedFont {
    QString name;
    QByteArray data;
};

class CSimpleTextSubtitle {
public:
    CSimpleTextSubtitle();
    virtual ~CSimpleTextSubtitle();

    // path: a file or an "http://" address. name empty: the stream name comes
    // from the path (movie.eng.srt gives "eng"). When it answers false,
    // LastError() tells whether the user is to be told why.
    bool Open(const QString& path, int CharSet, const QString& name = QString());
    bool Open(CTextFile* f, int CharSet, const QString& name);

    // Why the last Open failed: a syntax error after good entries, or None.
    const SubtitleReadError& LastError() const { return m_error; }
    // Who is asked about entries with unknown styles while opening; without
    // one they are logged and nothing is shown.
    void SetUnknownStyleQuestion(UnknownStyleQuestion question) { m_unknownStyleQuestion = std::move(question); }

    void Clear();

    void AddEntry(QString str, bool fUnicode, int start, int end, QString style = "Default",
                  QString actor = QString(), QString effect = QString(), MarginRect marginRect = MarginRect(),
                  int layer = 0, int readorder = -1);
    void StoreStyle(QString name, const STSStyle& style);
    void EnsureDefaultStyle(int CharSet);
    void ResolveUnknownStyles();

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    const STSEntry& operator[](int i) const { return m_entries[static_cast<size_t>(i)]; }
    const std::vector<STSEntry>& Entries() const { return m_entries; }
    const CSTSStyleMap& Styles() const { return m_styles; }
    const STSStyle* FindStyle(const QString& name) const;

    // The time line cut at every entry start and end; built when first asked
    // for after a change.
    const std::vector<STSSegment>& Segments() const;

    // Stream name rule for a path: "\" → "/", cut at the last ".", keep what
    // follows the last "/" and, of that, what follows its last ".".
    static QString StreamNameFromPath(const QString& path);

    QString m_name;
    tmode m_mode = TIME;
    CTextFile::enc m_encoding = CTextFile::ASCII;
    QString m_path;
    int m_playResX = 0, m_playResY = 0;
    int m_defaultWrapStyle = 0;
    int m_collisions = 0;  // 0 normal, 1 reverse
    bool m_fScaledBAS = false;
    std::vector<EmbeddedFont> m_fonts;

    // Used by the readers.
    std::vector<STSEntry>& MutableEntries() { return m_entries; }

private:
    std::vector<STSEntry> m_entries;
    CSTSStyleMap m_styles;
    mutable std::vector<STSSegment> m_segments;
    mutable bool m_segmentsDirty = true;
    SubtitleReadError m_error;
    UnknownStyleQuestion m_unknownStyleQuestion;
};

// The individual readers (declared in formats/Readers.h) and the helpers
// they share that tests reach.
namespace sts {
// An HTML colour ("#rrggbb", "rrggbb" or a colour name) as 0x00BBGGRR;
// false when it is none of these.
bool HtmlColorToBGR(QString value, quint32& bgr);
// Decodes the text encoding of fonts embedded in SubStation files.
QByteArray DecodeUUEFont(const QByteArray& text);
}  // namespace sts

}  // namespace kalvex

#include "subtitles/formats/Readers.h"
