// SubStation Alpha and Advanced SubStation: [Script Info], styles and events.
#include "subtitles/formats/Readers.h"

#include <algorithm>

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

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

}  // namespace kalvex::sts
