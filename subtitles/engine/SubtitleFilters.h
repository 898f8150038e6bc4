#pragma once
// The subtitle filters of the script engine: TextSub("path") draws a text
// subtitle file into the picture, VobSub("path", stream) one stream of a
// VobSub pair. A program whose scripts burn subtitles in calls
// RegisterSubtitleFilters once before it opens them; without it a script
// that calls TextSub or VobSub fails to evaluate with the engine's error for
// an unknown function.

namespace kalvex {

// Adds TextSub and VobSub to the engine's function table. Safe to call any
// number of times, from any thread.
void RegisterSubtitleFilters();

}  // namespace kalvex
