#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kalvex {

// Stand-in for the system registry: each root is one text file in the
// format of registry export files ("Windows Registry Editor Version 5.00",
// "[HKEY_...\key]" sections, "name"="text" and "name"=dword:hhhhhhhh values).
// Key and value names compare without case. Every call reads the file and
// every change rewrites it, so two programs sharing a root see each other's
// writes. HKCU lives in $XDG_CONFIG_HOME/Kalvex, HKLM in /etc/kalvex; both
// move to $KALVEX_REGISTRY_DIR when it is set.
enum class RegRoot { CurrentUser, LocalMachine };

std::string RegistryFilePath(RegRoot root);
const char* RegRootName(RegRoot root);  // "HKEY_CURRENT_USER" / "HKEY_LOCAL_MACHINE"

struct RegValue {
    enum class Type { String, Dword, Binary } type = Type::String;
    std::string name;     // empty = the key's default value ("@")
    std::string text;     // String
    uint32_t dword = 0;   // Dword
    std::vector<uint8_t> bytes;  // Binary
};

class RegistryKey {
public:
    // Opens root\subKey. create: make the key when missing (RegCreateKeyEx);
    // otherwise a missing key fails. write: the store must be writable, as a
    // key opened for read/write access needs the rights to write.
    static std::optional<RegistryKey> Open(RegRoot root, const std::string& subKey, bool create,
                                           bool write);

    std::optional<uint32_t> GetDword(const std::string& name) const;
    std::optional<std::string> GetString(const std::string& name) const;
    bool SetDword(const std::string& name, uint32_t value);
    bool SetString(const std::string& name, const std::string& value);
    bool DeleteValue(const std::string& name);

    RegRoot root() const { return root_; }
    const std::string& subKey() const { return subKey_; }

private:
    RegistryKey(RegRoot root, std::string subKey, bool write)
        : root_(root), subKey_(std::move(subKey)), write_(write) {}
    bool SetValue(const RegValue& v);
    RegRoot root_;
    std::string subKey_;
    bool write_;
};

// Merges a registry export file into the stores, as "regedit /s file" does:
// keys are created, values set, "[-key]" deletes a key with its sub-keys and
// "name"=- deletes a value. False when the file cannot be read, is not a
// registry export file, or a store cannot be written.
bool ImportRegFile(const std::string& path, std::string* error = nullptr);

}  // namespace kalvex
