#include "engine/ScriptEngine.h"

#include <map>
#include <mutex>
#include <shared_mutex>

#include "engine/Functions.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <optional>
#include <strings.h>
#include <variant>
#include <vector>

namespace kalvex::avs {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t SkipSpace(const std::string& s, size_t p) {
    while (p < s.size() && IsSpace(s[p])) ++p;
    return p;
}

// The rest of a line after a call: spaces and an optional comment.
bool OnlyTrailer(const std::string& s, size_t p) {
    p = SkipSpace(s, p);
    return p == s.size() || s[p] == '#';
}

// Parses the arguments from p (just after "(") to the closing ")" at the end
// of the line. Strings have no escapes in scripts, so a path may hold a
// double quote; a string ends at the first quote after which the rest of the
// line still parses.
bool ParseArgs(const std::string& s, size_t p, std::vector<Value>& out) {
    p = SkipSpace(s, p);
    if (p < s.size() && s[p] == ')' && out.empty()) return OnlyTrailer(s, p + 1);
    if (p >= s.size()) return false;
    Value v{Value::Kind::Int};
    auto rest = [&](size_t q) {
        q = SkipSpace(s, q);
        if (q < s.size() && s[q] == ')') return OnlyTrailer(s, q + 1);
        if (q < s.size() && s[q] == ',') return ParseArgs(s, q + 1, out);
        return false;
    };
    if (s.compare(p, 3, "\"\"\"") == 0) {  // """text""": may hold anything
        size_t end = s.find("\"\"\"", p + 3);
        while (end != std::string::npos) {
            v = Value{Value::Kind::String};
            v.s = s.substr(p + 3, end - p - 3);
            out.push_back(v);
            if (rest(end + 3)) return true;
            out.resize(out.size() - 1);
            end = s.find("\"\"\"", end + 1);
        }
        return false;
    }
    if (s[p] == '"') {
        for (size_t end = s.find('"', p + 1); end != std::string::npos; end = s.find('"', end + 1)) {
            size_t mark = out.size();
            v = Value{Value::Kind::String};
            v.s = s.substr(p + 1, end - p - 1);
            out.push_back(v);
            if (rest(end + 1)) return true;
            out.resize(mark);
        }
        return false;
    }
    size_t q = p;
    if (q < s.size() && (s[q] == '-' || s[q] == '+')) ++q;
    if (q < s.size() && (std::isdigit(static_cast<unsigned char>(s[q])) || s[q] == '.')) {
        size_t start = p;
        bool isFloat = false;
        while (q < s.size() && (std::isdigit(static_cast<unsigned char>(s[q])) || s[q] == '.')) {
            if (s[q] == '.') {
                if (isFloat) return false;
                isFloat = true;
            }
            ++q;
        }
        std::string text = s.substr(start, q - start);
        if (text == "." || text == "-." || text == "+.") return false;
        if (isFloat) {
            v = Value{Value::Kind::Float};
            v.f = std::strtod(text.c_str(), nullptr);
        } else {
            v = Value{Value::Kind::Int};
            errno = 0;
            v.i = std::strtoll(text.c_str(), nullptr, 10);
            if (errno == ERANGE || v.i > INT32_MAX || v.i < INT32_MIN) return false;
        }
        out.push_back(v);
        if (rest(q)) return true;
        out.pop_back();
        return false;
    }
    for (const char* word : {"true", "false"}) {
        size_t n = std::strlen(word);
        if (strncasecmp(s.c_str() + p, word, n) == 0 &&
            (p + n >= s.size() || !std::isalnum(static_cast<unsigned char>(s[p + n])))) {
            v = Value{Value::Kind::Bool};
            v.i = word[0] == 't';
            out.push_back(v);
            if (rest(p + n)) return true;
            out.pop_back();
            return false;
        }
    }
    return false;
}

// One line as a call; nullopt for a line that is not one.
std::optional<Call> ParseLine(const std::string& line) {
    size_t p = SkipSpace(line, 0);
    size_t start = p;
    if (p >= line.size() || !(std::isalpha(static_cast<unsigned char>(line[p])) || line[p] == '_')) return std::nullopt;
    while (p < line.size() && (std::isalnum(static_cast<unsigned char>(line[p])) || line[p] == '_')) ++p;
    Call call;
    call.name = line.substr(start, p - start);
    p = SkipSpace(line, p);
    if (p < line.size() && line[p] == '(') {
        if (!ParseArgs(line, p + 1, call.args)) return std::nullopt;
        return call;
    }
    if (OnlyTrailer(line, p)) return call;  // a call without parentheses
    return std::nullopt;
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int IntArg(const Value& v) { return int(v.i); }

// ---- The engine's own functions ----

// DirectShowSource("path") or DirectShowSource("path", soundTrack)
ClipPtr CallDirectShowSource(const CallSite& site) {
    if (!site.Takes({"s", "si"})) throw site.Invalid();
    const auto& a = site.Args();
    return DirectShowSource(a[0].s, site.context, a.size() > 1 ? IntArg(a[1]) : 0);
}

ClipPtr CallConvertToYV12(const CallSite& site) {
    if (!site.Args().empty()) throw site.Invalid();
    site.NeedClip();
    return ConvertToYV12(site.last);
}

ClipPtr CallChangeFPS(const CallSite& site) {
    const auto& a = site.Args();
    if (site.Takes({"f"})) {
        site.NeedClip();
        if (!(a[0].Number() > 0) || a[0].Number() > 1000) throw ScriptError("ChangeFPS: the frame rate must be between 0 and 1000");
        return ChangeFPS(site.last, RateFromDouble(a[0].Number()));
    }
    if (site.Takes({"ii"})) {
        site.NeedClip();
        if (a[0].i <= 0 || a[1].i <= 0) throw ScriptError("ChangeFPS: the frame rate must be greater than 0");
        return ChangeFPS(site.last, AVRational{IntArg(a[0]), IntArg(a[1])});
    }
    throw site.Invalid();
}

ClipPtr CallTrim(const CallSite& site) {
    if (!site.Takes({"ii"})) throw site.Invalid();
    site.NeedClip();
    return Trim(site.last, site.Args()[0].i, site.Args()[1].i);
}

ClipPtr CallResampleAudio(const CallSite& site) {
    if (!site.Takes({"i"})) throw site.Invalid();
    site.NeedClip();
    return ResampleAudio(site.last, IntArg(site.Args()[0]));
}

ClipPtr CallAddBorders(const CallSite& site) {
    const auto& a = site.Args();
    if (!site.Takes({"iiii"})) throw site.Invalid();
    site.NeedClip();
    return AddBorders(site.last, IntArg(a[0]), IntArg(a[1]), IntArg(a[2]), IntArg(a[3]));
}

ClipPtr CallBicubicResize(const CallSite& site) {
    if (!site.Takes({"ii"})) throw site.Invalid();
    site.NeedClip();
    return BicubicResize(site.last, IntArg(site.Args()[0]), IntArg(site.Args()[1]));
}

ClipPtr CallLanczosResize(const CallSite& site) {
    if (!site.Takes({"ii"})) throw site.Invalid();
    site.NeedClip();
    return LanczosResize(site.last, IntArg(site.Args()[0]), IntArg(site.Args()[1]));
}

// The table, by lower-case name. The engine's own functions are in it from
// its first use on; others are added by RegisterScriptFunction.
struct FunctionTable {
    std::shared_mutex lock;
    std::map<std::string, ScriptFunction> functions{
        {"directshowsource", &CallDirectShowSource}, {"converttoyv12", &CallConvertToYV12},
        {"changefps", &CallChangeFPS},               {"trim", &CallTrim},
        {"resampleaudio", &CallResampleAudio},       {"addborders", &CallAddBorders},
        {"bicubicresize", &CallBicubicResize},       {"lanczosresize", &CallLanczosResize},
    };
};

FunctionTable& Table() {
    static FunctionTable table;
    return table;
}

ScriptFunction Lookup(const std::string& name) {
    FunctionTable& t = Table();
    std::shared_lock<std::shared_mutex> g(t.lock);
    auto it = t.functions.find(Lower(name));
    return it == t.functions.end() ? nullptr : it->second;
}

ClipPtr Apply(const Call& call, const ClipPtr& last, EvalContext& context) {
    ScriptFunction function = Lookup(call.name);
    if (!function) throw ScriptError("Script error: there is no function named \"" + call.name + "\"");
    return function(CallSite{call, last, context});
}

}  // namespace

bool CallSite::Takes(std::initializer_list<const char*> forms) const {
    const std::vector<Value>& a = call.args;
    for (const char* form : forms) {
        if (std::strlen(form) != a.size()) continue;
        bool ok = true;
        for (size_t i = 0; i < a.size() && ok; ++i) {
            switch (form[i]) {
            case 'i': ok = a[i].kind == Value::Kind::Int; break;
            case 'f': ok = a[i].IsNumber(); break;
            case 's': ok = a[i].kind == Value::Kind::String; break;
            default: ok = false;
            }
        }
        if (ok) return true;
    }
    return false;
}

ScriptError CallSite::Invalid() const {
    return ScriptError("Script error: Invalid arguments to function \"" + call.name + "\"");
}

void CallSite::NeedClip() const {
    if (!last) throw ScriptError(call.name + ": there is no clip to work on");
}

void RegisterScriptFunction(const std::string& name, ScriptFunction function) {
    if (name.empty() || !function) return;
    FunctionTable& t = Table();
    std::unique_lock<std::shared_mutex> g(t.lock);
    t.functions[Lower(name)] = function;
}

bool HasScriptFunction(const std::string& name) { return Lookup(name) != nullptr; }

ClipPtr EvaluateScript(const std::string& text, const std::string& scriptName, EvalContext& context) {
    ClipPtr last;
    size_t pos = 0;
    int lineNo = 0;
    std::string body = text;
    if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
    while (pos <= body.size()) {
        size_t end = body.find('\n', pos);
        if (end == std::string::npos) end = body.size();
        std::string line = body.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        size_t first = SkipSpace(line, 0);
        if (first == line.size() || line[first] == '#') {
            if (end == body.size()) break;
            continue;
        }
        auto where = [&]() { return "\n(" + scriptName + ", line " + std::to_string(lineNo) + ")"; };
        std::optional<Call> call = ParseLine(line);
        if (!call) throw ScriptError("Script error: syntax error" + where());
        try {
            last = Apply(*call, last, context);
        } catch (const ScriptError& e) {
            throw ScriptError(e.what() + where());
        }
        if (end == body.size()) break;
    }
    if (!last) throw ScriptError("The script's return value was not a video clip\n(" + scriptName + ")");
    return last;
}

}  // namespace kalvex::avs
