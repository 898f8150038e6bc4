#pragma once
#include <string>

#include "engine/Clip.h"
#include "engine/Options.h"

namespace kalvex::avs {

// Evaluates a script: one function call per line, with string, integer and
// floating-point arguments (and the names of the function table, in any
// case; see Functions.h). Each line works on the clip of the line before it
// ("last"); the script's result is the last clip. Throws ScriptError with a
// text naming the cause, the script and the line. Every function of the
// script sees the context: the source reads the opener's options there and
// reports its findings into it.
ClipPtr EvaluateScript(const std::string& text, const std::string& scriptName, EvalContext& context);

}  // namespace kalvex::avs
