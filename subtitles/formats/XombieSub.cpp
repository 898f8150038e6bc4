// XombieSub: "key=value" lines with styles and lines.
#include "subtitles/formats/Readers.h"

#include <algorithm>

#include "subtitles/ReaderHelpers.h"
#include "subtitles/STS.h"
#include "subtitles/Scan.h"

namespace kalvex::sts {

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

}  // namespace kalvex::sts
