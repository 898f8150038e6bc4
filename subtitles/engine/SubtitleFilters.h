#pragma once
// The subtitle filters of the script engine: TextSub("path") draws a text
// subtitle file into the picture, VobSub("path", stream) one stream of a
// VobSub pair, EmbeddedSub("path", track) or EmbeddedSub("path", track, 1)
// a subtitle track inside a video file (all of it, or its forced subtitles
// only; tracks numbered as in engine/Tracks.h). A program whose scripts burn
// subtitles in calls RegisterSubtitleFilters once before it opens them;
// without it a script that calls one of them fails to evaluate with the
// engine's error for an unknown function.

namespace kalvex {

// Adds TextSub, VobSub and EmbeddedSub to the engine's function table. Safe to call any
// number of times, from any thread.
void RegisterSubtitleFilters();

}  // namespace kalvex
