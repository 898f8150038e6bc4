#pragma once
#include <string>

#include "platform/avisynth/Clip.h"

namespace kalvex::avs {

// Evaluates a script: one function call per line, with string, integer and
// floating-point arguments (and the names of AviSynth's functions, in any
// case). Each line works on the clip of the line before it ("last"); the
// script's result is the last clip. Throws ScriptError with a text naming
// the cause, the script and the line.
ClipPtr EvaluateScript(const std::string& text, const std::string& scriptName);

}  // namespace kalvex::avs
