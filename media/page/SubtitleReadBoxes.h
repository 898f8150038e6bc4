#pragma once
// The message boxes a user sees while subtitles are read for the file list:
// the readers' reasons and the unknown-style warning, shown through the
// message-box seam.
#include "media/SubtitleLinker.h"

namespace kalvex {

// "Syntax error at line %d!\t" with an error icon, "Wrong file version!"
// as an information box, and for each entry with an unknown style, while
// the user answers OK, the "Warning" box with OK and Cancel.
SubtitleReadReport SubtitleReadBoxes();

}  // namespace kalvex
