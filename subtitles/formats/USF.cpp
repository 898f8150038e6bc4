// USF: an XML document (USFSubtitles) converted to the text subtitle model.
#include "subtitles/formats/Readers.h"

#include "subtitles/STS.h"
#include "subtitles/USFSubtitles.h"

namespace kalvex::sts {

bool OpenUSF(CTextFile* f, CSimpleTextSubtitle& ret, int) {
    QString line;
    bool found = false;
    while (f->ReadLine(line)) {
        if (line.contains(u'\0')) return false;  // binary data, no text file
        if (line.contains(QLatin1String("USFSubtitles"))) {
            found = true;
            break;
        }
    }
    if (!found) return false;
    CUSFSubtitles usf;
    if (!usf.Read(f->GetFilePath())) return false;
    return usf.ConvertToSTS(ret);
}

}  // namespace kalvex::sts
