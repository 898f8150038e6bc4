#include "subtitles/USFSubtitles.h"

#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <algorithm>

#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex {

namespace {

CUSFSubtitles::Attributes AttributesOf(const QDomElement& e) {
    CUSFSubtitles::Attributes a;
    const QDomNamedNodeMap map = e.attributes();
    for (int i = 0; i < map.count(); ++i) {
        QDomAttr attr = map.item(i).toAttr();
        a.insert(attr.name().toLower(), attr.value().trimmed());
    }
    return a;
}

int AlignmentOf(const QString& value) {
    static const char* const kNames[] = {"bottomleft", "bottomcenter", "bottomright", "middleleft", "middlecenter",
                                         "middleright", "topleft",    "topcenter",    "topright"};
    QString v = value.toLower();
    for (int i = 0; i < 9; ++i)
        if (v == kNames[i]) return i + 1;
    return 0;
}

int WrapOf(const QString& value) {
    QString v = value.toLower();
    if (v == "auto") return 0;
    if (v == "window") return 1;
    if (v == "video") return 2;
    return -1;
}

int WeightOf(const QString& value) {
    QString v = value.toLower();
    if (v == "normal") return FW_NORMAL;
    if (v == "bold") return FW_BOLD;
    if (v == "lighter") return FW_LIGHT;
    if (v == "bolder") return FW_HEAVY;
    return 0;
}

bool Yes(const QString& value) { return value.compare("yes", Qt::CaseInsensitive) == 0 || value == "1"; }

bool ColorOf(QString value, quint32& bgr) {
    value = value.trimmed();
    if (value.startsWith('#') && value.size() == 9) value = "#" + value.right(6);  // #aarrggbb
    return sts::HtmlColorToBGR(value, bgr);
}

double NumberOf(const QString& value) {
    double v = 0;
    ScanText(value, "%f", &v);
    return v;
}

// An alpha value: "50%" is half transparent, a plain number is 0..255.
quint8 AlphaOf(const QString& value) {
    double v = NumberOf(value);
    if (value.trimmed().endsWith('%')) v = v * 255.0 / 100.0;
    return static_cast<quint8>(std::clamp(v, 0.0, 255.0));
}

void ApplyFontStyle(const CUSFSubtitles::Attributes& fs, STSStyle& s) {
    if (fs.contains("face") && !fs["face"].isEmpty()) s.fontName = fs["face"];
    if (fs.contains("size") && NumberOf(fs["size"]) > 0) s.fontSize = NumberOf(fs["size"]);
    static const char* const kColors[4] = {"color", "back-color", "outline-color", "shadow-color"};
    for (int i = 0; i < 4; ++i) {
        quint32 bgr;
        if (fs.contains(kColors[i]) && ColorOf(fs[kColors[i]], bgr)) s.colors[i] = bgr;
    }
    if (fs.contains("italic")) s.fItalic = Yes(fs["italic"]);
    if (fs.contains("weight") && WeightOf(fs["weight"])) s.fontWeight = WeightOf(fs["weight"]);
    if (fs.contains("underline")) s.fUnderline = Yes(fs["underline"]);
    if (fs.contains("alpha")) {
        quint8 a = AlphaOf(fs["alpha"]);
        s.alpha[0] = s.alpha[1] = s.alpha[2] = a;
    }
    if (fs.contains("outline-level")) s.outlineWidth = std::max(0.0, NumberOf(fs["outline-level"]));
    if (fs.contains("shadow-level")) s.shadowDepth = std::max(0.0, NumberOf(fs["shadow-level"]));
}

void ApplyPosition(const CUSFSubtitles::Attributes& pos, STSStyle& s) {
    if (int a = AlignmentOf(pos.value("alignment"))) s.scrAlignment = a;
    QString rel = pos.value("relative-to").toLower();
    if (rel == "window") s.relativeTo = 0;
    else if (rel == "video") s.relativeTo = 1;
    if (pos.contains("horizontal-margin")) s.marginRect.left = s.marginRect.right = LeadingInt(pos["horizontal-margin"]);
    if (pos.contains("vertical-margin")) s.marginRect.top = s.marginRect.bottom = LeadingInt(pos["vertical-margin"]);
    if (pos.contains("rotate-z")) s.fontAngleZ = NumberOf(pos["rotate-z"]);
    if (pos.contains("rotate-x")) s.fontAngleX = NumberOf(pos["rotate-x"]);
    if (pos.contains("rotate-y")) s.fontAngleY = NumberOf(pos["rotate-y"]);
}

// Opening and closing override tags for the attributes of an inline <font>.
void FontTags(const CUSFSubtitles::Attributes& a, QString& open, QString& close) {
    if (a.contains("face")) open += "{\\fn" + a["face"] + "}", close.prepend("{\\fn}");
    if (a.contains("size")) open += "{\\fs" + QString::number(LeadingInt(a["size"])) + "}", close.prepend("{\\fs}");
    static const char* const kColors[4] = {"color", "back-color", "outline-color", "shadow-color"};
    for (int i = 0; i < 4; ++i) {
        quint32 bgr;
        if (a.contains(kColors[i]) && ColorOf(a[kColors[i]], bgr)) {
            open += QString::asprintf("{\\%dc&H%06x&}", i + 1, static_cast<unsigned>(bgr));
            close.prepend(QString::asprintf("{\\%dc}", i + 1));
        }
    }
    if (a.contains("italic")) {
        bool on = Yes(a["italic"]);
        open += on ? "{\\i1}" : "{\\i0}", close.prepend("{\\i}");
    }
    if (a.contains("weight") && WeightOf(a["weight"])) {
        int w = WeightOf(a["weight"]);
        open += w >= FW_BOLD ? "{\\b1}" : "{\\b0}", close.prepend("{\\b}");
    }
    if (a.contains("underline")) {
        open += Yes(a["underline"]) ? "{\\u1}" : "{\\u0}", close.prepend("{\\u}");
    }
    if (a.contains("outline-level"))
        open += "{\\bord" + QString::number(LeadingInt(a["outline-level"])) + "}", close.prepend("{\\bord}");
    if (a.contains("shadow-level"))
        open += "{\\shad" + QString::number(LeadingInt(a["shadow-level"])) + "}", close.prepend("{\\shad}");
}

// Text of a node: a line break inside it ends a subtitle line; blanks around
// such breaks go.
QString TextOf(const QString& raw) {
    QString s = raw;
    s.remove('\r');
    if (!s.contains('\n')) return s;
    QStringList parts = s.split('\n');
    QStringList kept;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        QString p = parts[i].trimmed();
        if (!p.isEmpty()) kept << p;
    }
    QString out = kept.join("\\N");
    if (!kept.isEmpty() && !raw.isEmpty() && (raw[0] == ' ' || raw[0] == '\t')) out.prepend(' ');
    return out;
}

void ConvertInline(const QDomNode& parent, QString& out, int depth) {
    if (depth > 64) return;  // nesting beyond any real subtitle
    for (QDomNode n = parent.firstChild(); !n.isNull(); n = n.nextSibling()) {
        if (n.isText() || n.isCDATASection()) {
            QString t = TextOf(n.nodeValue());
            if (!out.isEmpty() && out.endsWith("\\N")) {
                while (t.startsWith(' ')) t.remove(0, 1);
            }
            out += t;
            continue;
        }
        if (!n.isElement()) continue;
        QDomElement e = n.toElement();
        QString tag = e.tagName().toLower();
        if (tag == "br") {
            out += "\\N";
        } else if (tag == "font") {
            QString open, close;
            FontTags(AttributesOf(e), open, close);
            out += open;
            ConvertInline(e, out, depth + 1);
            out += close;
        } else if (tag == "i" || tag == "b" || tag == "u") {
            out += "{\\" + tag + "1}";
            ConvertInline(e, out, depth + 1);
            out += "{\\" + tag + "}";
        } else if (tag == "k") {
            int t = LeadingInt(e.attribute("t"));
            out += QString::asprintf("{\\kf%d}", std::max(0, t) / 10);
            ConvertInline(e, out, depth + 1);
        } else {
            // karaoke and any other container: its content counts.
            ConvertInline(e, out, depth + 1);
        }
    }
}

QString ChildText(const QDomElement& parent, const char* name) {
    return parent.firstChildElement(name).text().trimmed();
}

}  // namespace

bool CUSFSubtitles::ParseTime(const QString& text, int& ms) {
    QString t = text.trimmed();
    if (t.isEmpty()) return false;
    QStringList parts = t.split(':');
    if (parts.size() > 3) return false;
    qint64 total = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        QString p = parts[i].trimmed();
        bool last = i + 1 == parts.size();
        if (last) {
            QStringList secs = p.split('.');
            if (secs.size() > 2 || secs[0].isEmpty()) return false;
            bool ok = false;
            qint64 s = secs[0].toLongLong(&ok);
            if (!ok || s < 0 || s > 100000000) return false;
            qint64 frac = 0;
            if (secs.size() == 2) {
                QString f = secs[1].left(3);
                while (f.size() < 3) f += '0';
                frac = f.toLongLong(&ok);
                if (!ok || frac < 0) return false;
            }
            total = total * 60 + s;
            total = total * 1000 + frac;
        } else {
            bool ok = false;
            qint64 v = p.toLongLong(&ok);
            if (!ok || v < 0 || v > 100000000) return false;
            total = total * 60 + v;
        }
    }
    ms = ClampToInt(total);
    return true;
}

bool CUSFSubtitles::Read(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    return ReadXml(file.readAll());
}

bool CUSFSubtitles::ReadXml(const QByteArray& xml) {
    QDomDocument doc;
    if (!doc.setContent(xml)) return false;
    QDomElement root = doc.documentElement();
    if (root.tagName().compare("USFSubtitles", Qt::CaseInsensitive) != 0) return false;
    return Parse(root);
}

bool CUSFSubtitles::Parse(const QDomElement& root) {
    QDomElement meta = root.firstChildElement("metadata");
    if (!meta.isNull()) {
        metadata.title = ChildText(meta, "title");
        metadata.date = ChildText(meta, "date");
        metadata.comment = ChildText(meta, "comment");
        QDomElement author = meta.firstChildElement("author");
        metadata.authorName = ChildText(author, "name");
        metadata.authorEmail = ChildText(author, "email");
        QDomElement language = meta.firstChildElement("language");
        metadata.languageCode = language.attribute("code");
        metadata.language = language.text().trimmed();
        metadata.languageExt = ChildText(meta, "languageext");
    }
    for (QDomElement s = root.firstChildElement("styles").firstChildElement("style"); !s.isNull();
         s = s.nextSiblingElement("style")) {
        Style style;
        style.name = s.attribute("name");
        style.fontstyle = AttributesOf(s.firstChildElement("fontstyle"));
        style.position = AttributesOf(s.firstChildElement("position"));
        styles.push_back(std::move(style));
    }
    for (QDomElement e = root.firstChildElement("effects").firstChildElement("effect"); !e.isNull();
         e = e.nextSiblingElement("effect")) {
        Effect effect;
        effect.name = e.attribute("name");
        QDomElement frames = e.firstChildElement("keyframes");
        if (frames.isNull()) frames = e;
        for (QDomElement k = frames.firstChildElement("keyframe"); !k.isNull(); k = k.nextSiblingElement("keyframe")) {
            Keyframe kf;
            int t = 0;
            kf.position = ParseTime(k.attribute("position"), t) ? t : LeadingInt(k.attribute("position"));
            kf.fontstyle = AttributesOf(k.firstChildElement("fontstyle"));
            kf.position_ = AttributesOf(k.firstChildElement("position"));
            effect.keyframes.push_back(std::move(kf));
        }
        effects.push_back(std::move(effect));
    }
    for (QDomElement s = root.firstChildElement("subtitles").firstChildElement("subtitle"); !s.isNull();
         s = s.nextSiblingElement("subtitle")) {
        Subtitle sub;
        if (!ParseTime(s.attribute("start"), sub.start)) continue;
        int duration = 0;
        if (s.hasAttribute("stop")) {
            if (!ParseTime(s.attribute("stop"), sub.stop)) continue;
        } else if (ParseTime(s.attribute("duration"), duration)) {
            sub.stop = ClampToInt(static_cast<qint64>(sub.start) + duration);
        } else {
            continue;
        }
        sub.style = s.attribute("style");
        sub.effect = s.attribute("effect");
        for (QDomElement t = s.firstChildElement(); !t.isNull(); t = t.nextSiblingElement()) {
            QString tag = t.tagName().toLower();
            if (tag != "text" && tag != "karaoke") continue;
            Text text;
            text.style = t.attribute("style");
            text.attributes = AttributesOf(t);
            ConvertInline(t, text.str, 0);
            sub.texts.push_back(std::move(text));
        }
        subtitles.push_back(std::move(sub));
    }
    return true;
}

bool CUSFSubtitles::ConvertToSTS(CSimpleTextSubtitle& sts) const {
    for (const Style& s : styles) {
        STSStyle style;
        ApplyFontStyle(s.fontstyle, style);
        ApplyPosition(s.position, style);
        sts.StoreStyle(s.name, style);
    }
    for (const Subtitle& sub : subtitles) {
        for (const Text& text : sub.texts) {
            const Attributes& a = text.attributes;
            QString tags;
            if (int an = AlignmentOf(a.value("alignment"))) tags += QString::asprintf("{\\an%d}", an);
            if (a.contains("rotate-z")) tags += QString::asprintf("{\\rz%d}", LeadingInt(a["rotate-z"]));
            if (a.contains("rotate-x")) tags += QString::asprintf("{\\rx%d}", LeadingInt(a["rotate-x"]));
            if (a.contains("rotate-y")) tags += QString::asprintf("{\\ry%d}", LeadingInt(a["rotate-y"]));
            QString styleName = !text.style.isEmpty() ? text.style : !sub.style.isEmpty() ? sub.style : "Default";
            QString wrap = a.value("wrap");
            if (wrap.isEmpty())
                for (const Style& s : styles)
                    if (s.name == styleName) wrap = s.fontstyle.value("wrap");
            if (WrapOf(wrap) >= 0) tags += QString::asprintf("{\\q%d}", WrapOf(wrap));
            MarginRect margin;
            if (a.contains("horizontal-margin")) margin.left = margin.right = LeadingInt(a["horizontal-margin"]);
            if (a.contains("vertical-margin")) margin.top = margin.bottom = LeadingInt(a["vertical-margin"]);
            sts.AddEntry(tags + text.str, true, sub.start, sub.stop, styleName, QString(), QString(), margin);
        }
    }
    return true;
}

}  // namespace kalvex
