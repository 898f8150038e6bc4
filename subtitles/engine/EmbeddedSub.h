#pragma once
// EmbeddedSub("path", track[, forcedOnly]): a subtitle track inside a video
// file drawn into the picture (see EmbeddedSub.cpp). Private to the subtitle
// filter library, which registers it with the others.
#include <string>

#include "engine/Functions.h"

namespace kalvex::avs {

ClipPtr CallEmbeddedSub(const CallSite& site);

// The ASS header TextSub draws a subtitle file without styles of its own
// with (SubRip and the like): the default style at the default play size.
// Text tracks of such formats are drawn with it, so that they look as the
// same subtitles in a linked file.
std::string PlainTextHeader();

// The bounds TextSub holds a subtitle file's sizes to (see MaxDrawSize in
// SubtitleFilters.cpp), for a track's own header (the font sizes, scales,
// borders and shadows of its styles) and for the override tags of its lines
// in chunk form. *maxSize gets the largest size the header allows, for the
// lines.
std::string BoundedTrackHeader(const std::string& header, double* maxSize);
std::string BoundedTrackLine(const std::string& chunk, double maxSize);

}  // namespace kalvex::avs
