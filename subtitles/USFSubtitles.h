#pragma once
// USF (Universal Subtitle Format) documents: an XML file with metadata,
// styles, effects and the subtitles, turned into the text subtitle model.
#include <QByteArray>
#include <QMap>
#include <QString>
#include <vector>

class QDomElement;

namespace kalvex {

class CSimpleTextSubtitle;

class CUSFSubtitles {
public:
    using Attributes = QMap<QString, QString>;

    struct Metadata {
        QString title, date, comment;
        QString authorName, authorEmail;
        QString languageCode, language, languageExt;
    };
    struct Style {
        QString name;
        Attributes fontstyle, position;
    };
    struct Keyframe {
        int position = 0;  // ms from the subtitle's start
        Attributes fontstyle, position_;
    };
    struct Effect {
        QString name;
        std::vector<Keyframe> keyframes;
    };
    struct Text {
        QString style;
        Attributes attributes;  // alignment, margins, rotations, wrap of the <text> element
        QString str;            // converted, with override tags
    };
    struct Subtitle {
        int start = 0, stop = 0;
        QString style, effect;
        std::vector<Text> texts;
    };

    bool Read(const QString& path);
    bool ReadXml(const QByteArray& xml);
    bool ConvertToSTS(CSimpleTextSubtitle& sts) const;

    Metadata metadata;
    std::vector<Style> styles;
    std::vector<Effect> effects;
    std::vector<Subtitle> subtitles;

    // "hh:mm:ss.mmm", "mm:ss.mmm" or "ss.mmm"; false when it is none of them.
    static bool ParseTime(const QString& text, int& ms);

private:
    bool Parse(const QDomElement& root);
};

}  // namespace kalvex
