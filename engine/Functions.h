#pragma once
// The engine's function table: every name a script may call, with the code
// that makes its clip. The engine's own filters are in it from the start;
// filters that live above the engine (the subtitle filters) are added by
// their library with RegisterScriptFunction, before the first script that
// uses them is opened.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/Clip.h"
#include "engine/Options.h"

namespace kalvex::avs {

// One argument of a script call.
struct Value {
    enum class Kind { Int, Float, String, Bool };
    explicit Value(Kind k = Kind::Int) : kind(k) {}
    Kind kind;
    int64_t i = 0;
    double f = 0;
    std::string s;
    bool IsNumber() const { return kind == Kind::Int || kind == Kind::Float; }
    double Number() const { return kind == Kind::Int ? double(i) : f; }
};

// One line of a script as a call: the name as written and its arguments.
struct Call {
    std::string name;
    std::vector<Value> args;
};

// What a script function is handed: the call, the clip of the line before
// it ("last", null on the first line) and the evaluation's context.
struct CallSite {
    const Call& call;
    const ClipPtr& last;
    EvalContext& context;

    const std::vector<Value>& Args() const { return call.args; }
    // Whether the arguments match one of the forms: one letter per
    // argument, i an integer, f a number, s a string.
    bool Takes(std::initializer_list<const char*> forms) const;
    // The error for arguments of the wrong number or kind.
    ScriptError Invalid() const;
    // Throws when there is no clip to work on.
    void NeedClip() const;
};

// Makes the clip of one call; throws ScriptError with the cause (the
// evaluation adds the script and the line).
using ScriptFunction = ClipPtr (*)(const CallSite& site);

// Adds a function under a name (found in any case). A name that is there
// already gets the new function: registering the same function twice is
// harmless. Safe from any thread.
void RegisterScriptFunction(const std::string& name, ScriptFunction function);
// Whether a script may call the name (in any case).
bool HasScriptFunction(const std::string& name);

}  // namespace kalvex::avs
