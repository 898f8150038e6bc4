#include "platform/registry/RegistryStore.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/system/Folders.h"

namespace kalvex {
namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00";

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string NormaliseKey(std::string k) {
    while (!k.empty() && k.front() == '\\') k.erase(k.begin());
    while (!k.empty() && k.back() == '\\') k.pop_back();
    return k;
}

struct Key {
    std::string name;  // as first written, without the root
    std::vector<RegValue> values;
    // Lines of the key the reader does not understand (a value cut short,
    // a type it does not know, a comment), kept verbatim so that a rewrite
    // of the store loses nothing.
    std::vector<std::string> kept;
};

// One root's content, keys ordered by their lower-case path.
struct Hive {
    std::map<std::string, Key> keys;
    // Lines outside the keys of this root (before the first key, or in a
    // section the reader does not understand, with that section's line),
    // kept verbatim in their order; written before the keys.
    std::vector<std::string> kept;
    Key* Find(const std::string& path) {
        auto it = keys.find(Lower(path));
        return it == keys.end() ? nullptr : &it->second;
    }
    Key& Make(const std::string& path) {
        // Creating a key creates its parents too.
        std::string p;
        std::stringstream ss(path);
        std::string part;
        Key* last = nullptr;
        while (std::getline(ss, part, '\\')) {
            if (part.empty()) continue;
            p += (p.empty() ? "" : "\\") + part;
            auto& k = keys[Lower(p)];
            if (k.name.empty()) k.name = p;
            last = &k;
        }
        return *last;
    }
    void Erase(const std::string& path) {
        std::string l = Lower(path);
        for (auto it = keys.begin(); it != keys.end();) {
            if (it->first == l || it->first.rfind(l + "\\", 0) == 0)
                it = keys.erase(it);
            else
                ++it;
        }
    }
};

std::string Utf16LeToUtf8(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
        uint32_t c = static_cast<uint8_t>(raw[i]) | (static_cast<uint8_t>(raw[i + 1]) << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < raw.size()) {
            uint32_t lo = static_cast<uint8_t>(raw[i + 2]) | (static_cast<uint8_t>(raw[i + 3]) << 8);
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Splits a file into logical lines: CR LF or LF ends, a trailing "\" joins
// the next line (hex values span lines).
std::vector<std::string> LogicalLines(const std::string& raw) {
    std::string text = raw;
    if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF &&
        static_cast<uint8_t>(text[1]) == 0xFE)
        text = Utf16LeToUtf8(text.substr(2));
    else if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text = text.substr(3);
    std::vector<std::string> lines;
    std::string cur;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A value cut short after its "\" does not swallow the next key's line.
        if (!cur.empty() && !line.empty() && line[0] == '[') {
            lines.push_back(cur);
            cur.clear();
        }
        if (!line.empty() && line.back() == '\\' && line.find('=') != std::string::npos &&
            line.find("hex") != std::string::npos) {
            line.pop_back();
            cur += line;
            continue;
        }
        if (!cur.empty()) {
            size_t b = line.find_first_not_of(" \t");
            cur += b == std::string::npos ? "" : line.substr(b);
            lines.push_back(cur);
            cur.clear();
        } else {
            lines.push_back(line);
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

// Reads a quoted text starting at s[pos] == '"'; pos ends after the quote.
bool ReadQuoted(const std::string& s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '\\' && pos < s.size()) {
            out += s[pos++];
        } else if (c == '"') {
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

enum class LineKind { Value, DeleteValue, Bad };

// Parses one value line: "name"=... or @=...
LineKind ParseValue(const std::string& line, RegValue& v) {
    size_t pos = 0;
    if (line[0] == '@') {
        v.name.clear();
        pos = 1;
    } else if (!ReadQuoted(line, pos, v.name)) {
        return LineKind::Bad;
    }
    if (pos >= line.size() || line[pos] != '=') return LineKind::Bad;
    std::string rest = line.substr(pos + 1);
    if (rest == "-") return LineKind::DeleteValue;
    if (!rest.empty() && rest[0] == '"') {
        size_t p = 0;
        v.type = RegValue::Type::String;
        return ReadQuoted(rest, p, v.text) ? LineKind::Value : LineKind::Bad;
    }
    if (rest.rfind("dword:", 0) == 0) {
        std::string hex = rest.substr(6);
        if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return LineKind::Bad;
        v.type = RegValue::Type::Dword;
        v.dword = static_cast<uint32_t>(std::strtoul(hex.c_str(), nullptr, 16));
        return LineKind::Value;
    }
    if (rest.rfind("hex", 0) == 0) {
        size_t colon = rest.find(':');
        if (colon == std::string::npos) return LineKind::Bad;
        v.type = RegValue::Type::Binary;
        v.text = rest.substr(0, colon);  // "hex" or "hex(N)": kept for writing back
        v.bytes.clear();
        std::stringstream ss(rest.substr(colon + 1));
        std::string byte;
        while (std::getline(ss, byte, ',')) {
            size_t b = byte.find_first_not_of(" \t");
            if (b == std::string::npos) continue;
            byte = byte.substr(b);
            if (byte.size() > 2 || byte.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return LineKind::Bad;
            v.bytes.push_back(static_cast<uint8_t>(std::strtoul(byte.c_str(), nullptr, 16)));
        }
        return LineKind::Value;
    }
    return LineKind::Bad;
}

void SetIn(Key& k, const RegValue& v) {
    for (auto& existing : k.values) {
        if (SameName(existing.name, v.name)) {
            existing = v;
            return;
        }
    }
    k.values.push_back(v);
}

bool SplitRoot(const std::string& full, RegRoot& root, std::string& rest) {
    struct Alias {
        const char* name;
        RegRoot root;
    } aliases[] = {{"HKEY_CURRENT_USER", RegRoot::CurrentUser},
                   {"HKCU", RegRoot::CurrentUser},
                   {"HKEY_LOCAL_MACHINE", RegRoot::LocalMachine},
                   {"HKLM", RegRoot::LocalMachine}};
    for (const auto& a : aliases) {
        size_t n = std::strlen(a.name);
        if (full.size() >= n && strncasecmp(full.c_str(), a.name, n) == 0 &&
            (full.size() == n || full[n] == '\\')) {
            root = a.root;
            rest = NormaliseKey(full.substr(n));
            return true;
        }
    }
    return false;
}

std::string ReadAll(const std::string& path, bool* ok = nullptr) {
    std::ifstream in(path, std::ios::binary);
    if (ok) *ok = static_cast<bool>(in);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Hive LoadHive(RegRoot root) {
    Hive hive;
    std::string raw = ReadAll(RegistryFilePath(root));
    Key* current = nullptr;
    bool sawHeader = false;
    for (const auto& line : LogicalLines(raw)) {
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        // The file's first line names the format; it is written anew.
        if (!sawHeader && (line == kHeader || line == "REGEDIT4")) {
            sawHeader = true;
            continue;
        }
        sawHeader = true;
        if (line[0] == '[') {
            current = nullptr;
            size_t close = line.rfind(']');
            RegRoot r;
            std::string rest;
            if (close != std::string::npos && SplitRoot(line.substr(1, close - 1), r, rest) && r == root &&
                !rest.empty())
                current = &hive.Make(rest);
            else
                hive.kept.push_back(line);  // with the lines that follow it
            continue;
        }
        RegValue v;
        if (current && ParseValue(line, v) == LineKind::Value)
            SetIn(*current, v);
        else
            (current ? current->kept : hive.kept).push_back(line);
    }
    return hive;
}

std::string Render(RegRoot root, const Hive& hive) {
    std::string out = std::string(kHeader) + "\n";
    if (!hive.kept.empty()) out += "\n";
    for (const auto& line : hive.kept) out += line + "\n";
    char hexbuf[16];
    for (const auto& [lower, key] : hive.keys) {
        out += "\n[" + std::string(RegRootName(root)) + "\\" + key.name + "]\n";
        for (const auto& v : key.values) {
            out += v.name.empty() ? "@" : Quote(v.name);
            out += "=";
            switch (v.type) {
                case RegValue::Type::String: out += Quote(v.text); break;
                case RegValue::Type::Dword:
                    std::snprintf(hexbuf, sizeof hexbuf, "dword:%08x", v.dword);
                    out += hexbuf;
                    break;
                case RegValue::Type::Binary:
                    out += (v.text.empty() ? "hex" : v.text) + ":";
                    for (size_t i = 0; i < v.bytes.size(); ++i) {
                        std::snprintf(hexbuf, sizeof hexbuf, "%s%02x", i ? "," : "", v.bytes[i]);
                        out += hexbuf;
                    }
                    break;
            }
            out += "\n";
        }
        for (const auto& line : key.kept) out += line + "\n";
    }
    return out;
}

// Serialises read-modify-write cycles between threads and processes.
class StoreLock {
public:
    explicit StoreLock(RegRoot root) {
        std::string p = RegistryFilePath(root) + ".lock";
        fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~StoreLock() {
        if (fd_ >= 0) {
            flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }

private:
    int fd_ = -1;
};

bool SaveHive(RegRoot root, const Hive& hive) {
    std::string path = RegistryFilePath(root);
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out << Render(root, hive);
        out.flush();
        if (!out) return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool StoreWritable(RegRoot root) {
    std::string path = RegistryFilePath(root);
    if (access(path.c_str(), F_OK) == 0) return access(path.c_str(), W_OK) == 0;
    std::string dir = path.substr(0, path.rfind('/'));
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return access(dir.c_str(), W_OK) == 0;
}

std::string RegistryDir(RegRoot root) {
    if (const char* d = std::getenv("KALVEX_REGISTRY_DIR"); d && *d) return d;
    if (root == RegRoot::LocalMachine) return "/etc/kalvex";
    const char* cfg = std::getenv("XDG_CONFIG_HOME");
    std::string base = (cfg && *cfg) ? std::string(cfg) : HomeFolder() + ".config";
    return base + "/Kalvex";
}

}  // namespace

const char* RegRootName(RegRoot root) {
    return root == RegRoot::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::string RegistryFilePath(RegRoot root) {
    return RegistryDir(root) + (root == RegRoot::CurrentUser ? "/HKCU.reg" : "/HKLM.reg");
}

std::optional<RegistryKey> RegistryKey::Open(RegRoot root, const std::string& subKey, bool create,
                                             bool write) {
    std::string key = NormaliseKey(subKey);
    if (key.empty()) return std::nullopt;
    if ((write || create) && !StoreWritable(root)) return std::nullopt;
    if (create) {
        StoreLock lock(root);
        Hive hive = LoadHive(root);
        if (!hive.Find(key)) {
            hive.Make(key);
            if (!SaveHive(root, hive)) return std::nullopt;
        }
    } else if (!LoadHive(root).Find(key)) {
        return std::nullopt;
    }
    return RegistryKey(root, key, write || create);
}

std::optional<uint32_t> RegistryKey::GetDword(const std::string& name) const {
    Hive hive = LoadHive(root_);
    if (Key* k = hive.Find(subKey_))
        for (const auto& v : k->values)
            if (SameName(v.name, name) && v.type == RegValue::Type::Dword) return v.dword;
    return std::nullopt;
}

std::optional<std::string> RegistryKey::GetString(const std::string& name) const {
    Hive hive = LoadHive(root_);
    if (Key* k = hive.Find(subKey_))
        for (const auto& v : k->values)
            if (SameName(v.name, name) && v.type == RegValue::Type::String) return v.text;
    return std::nullopt;
}

bool RegistryKey::SetValue(const RegValue& v) {
    if (!write_) return false;
    StoreLock lock(root_);
    Hive hive = LoadHive(root_);
    SetIn(hive.Make(subKey_), v);
    return SaveHive(root_, hive);
}

bool RegistryKey::SetDword(const std::string& name, uint32_t value) {
    RegValue v;
    v.type = RegValue::Type::Dword;
    v.name = name;
    v.dword = value;
    return SetValue(v);
}

bool RegistryKey::SetString(const std::string& name, const std::string& value) {
    RegValue v;
    v.type = RegValue::Type::String;
    v.name = name;
    v.text = value;
    return SetValue(v);
}

bool RegistryKey::DeleteValue(const std::string& name) {
    if (!write_) return false;
    StoreLock lock(root_);
    Hive hive = LoadHive(root_);
    Key* k = hive.Find(subKey_);
    if (!k) return false;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
        if (SameName(it->name, name)) {
            k->values.erase(it);
            return SaveHive(root_, hive);
        }
    }
    return false;
}

bool ImportRegFile(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    bool ok = false;
    std::string raw = ReadAll(path, &ok);
    if (!ok) return fail("Cannot read " + path);
    std::vector<std::string> lines = LogicalLines(raw);
    size_t first = 0;
    while (first < lines.size() && lines[first].find_first_not_of(" \t") == std::string::npos) ++first;
    if (first == lines.size() || (lines[first] != kHeader && lines[first] != "REGEDIT4"))
        return fail(path + " is not a registry file");

    // Parse everything first, so a broken file changes nothing.
    struct Op {
        bool deleteKey = false;
        bool deleteValue = false;
        RegRoot root{};
        std::string key;
        RegValue value;
        bool keyOnly = false;
    };
    std::vector<Op> ops;
    bool haveKey = false;
    RegRoot root{};
    std::string key;
    for (size_t i = first + 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos) return fail("Bad key line " + std::to_string(i + 1));
            std::string name = line.substr(1, close - 1);
            bool del = !name.empty() && name[0] == '-';
            if (del) name = name.substr(1);
            haveKey = SplitRoot(name, root, key) && !key.empty();
            if (!haveKey) return fail("Unknown key " + name);
            Op op;
            op.root = root;
            op.key = key;
            op.deleteKey = del;
            op.keyOnly = !del;
            ops.push_back(op);
            if (del) haveKey = false;
            continue;
        }
        if (!haveKey) continue;  // values of a deleted key are ignored, as regedit does
        Op op;
        op.root = root;
        op.key = key;
        LineKind kind = ParseValue(line, op.value);
        if (kind == LineKind::Bad) return fail("Bad value line " + std::to_string(i + 1));
        op.deleteValue = kind == LineKind::DeleteValue;
        ops.push_back(op);
    }
    for (RegRoot r : {RegRoot::CurrentUser, RegRoot::LocalMachine}) {
        bool touched = false;
        for (const auto& op : ops) touched |= op.root == r;
        if (!touched) continue;
        if (!StoreWritable(r)) return fail(std::string("Cannot write ") + RegRootName(r));
        StoreLock lock(r);
        Hive hive = LoadHive(r);
        for (const auto& op : ops) {
            if (op.root != r) continue;
            if (op.deleteKey) {
                hive.Erase(op.key);
            } else if (op.keyOnly) {
                hive.Make(op.key);
            } else if (op.deleteValue) {
                if (Key* k = hive.Find(op.key)) {
                    for (auto it = k->values.begin(); it != k->values.end(); ++it)
                        if (SameName(it->name, op.value.name)) {
                            k->values.erase(it);
                            break;
                        }
                }
            } else {
                SetIn(hive.Make(op.key), op.value);
            }
        }
        if (!SaveHive(r, hive)) return fail(std::string("Cannot write ") + RegRootName(r));
    }
    return true;
}

}  // namespace kalvex
