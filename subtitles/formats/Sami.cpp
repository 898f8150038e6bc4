// SAMI: HTML-like captions between "<SYNC START=...>" tags.
#include "subtitles/formats/Readers.h"

#include <algorithm>

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

namespace {

constexpr int kMaxTime = 2147483647;

}  // namespace

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

}  // namespace kalvex::sts
