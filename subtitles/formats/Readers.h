#pragma once
// The text subtitle readers, one file each in this folder, in recognition
// order. Each reads f from its current position and answers true when the
// file is of its format. CSimpleTextSubtitle::Open tries them through its
// reader table; tests call them one by one.
#include <QString>

namespace kalvex {

class CTextFile;
class CSimpleTextSubtitle;

namespace sts {

bool OpenSubRipper(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenOldSubRipper(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenSubViewer(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenMicroDVD(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenSami(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenVPlayer(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenSubStationAlpha(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenXombieSub(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenUSF(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);
bool OpenMPL2(CTextFile* f, CSimpleTextSubtitle& ret, int CharSet);

// The text conversions of the readers (SubRip, MicroDVD, SAMI, MPL2).
QString SubRipToSSA(QString str);
QString MicroDVDToSSA(const QString& str);
QString SamiToSSA(const QString& html);
QString MPL2ToSSA(const QString& str);

}  // namespace sts
}  // namespace kalvex
