#include "convert/psp/PspDetect.h"

#include <cstring>
#include <vector>

#include "platform/storage/Storage.h"

namespace kalvex {

namespace {

bool Printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }

int HexDigit(char c) {
    if (c == ' ') return 0;
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The text as hexadecimal pairs; false when it is not made of them.
bool DecodeHexPairs(const std::string& text, std::string& bytes) {
    bytes.clear();
    bool ended = false;  // a 0 byte ends the string the pairs spell
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        const unsigned char byte = static_cast<unsigned char>(high * 16 + low);
        if (byte != 0 && !Printable(byte)) return false;
        if (byte == 0) ended = true;
        if (!ended) bytes += static_cast<char>(byte);
    }
    // A lone last digit still has to be one.
    if (text.size() % 2 && HexDigit(text.back()) < 0) return false;
    return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::string ReadIdentificationString(const void* descriptor, size_t size, int64_t offset, bool serial) {
    if (offset < 1 || !descriptor || static_cast<uint64_t>(offset) >= size) return {};
    const char* start = static_cast<const char*>(descriptor) + offset;
    const std::string text(start, strnlen(start, size - static_cast<size_t>(offset)));

    std::string result;
    if (!DecodeHexPairs(text, result)) {
        result.clear();
        for (char c : text) {
            if (!Printable(static_cast<unsigned char>(c))) return {};
            result += c;
        }
    }
    if (serial)
        for (size_t i = 0; i + 1 < result.size(); i += 2) std::swap(result[i], result[i + 1]);
    size_t first = 0, last = result.size();
    while (first < last && IsSpace(result[first])) ++first;
    while (last > first && IsSpace(result[last - 1])) --last;
    return result.substr(first, last - first);
}

bool ReadDiskIdentity(int disk, DiskIdentity& identity) {
    std::vector<char> buffer(kDescriptorBufferSize, 0);
    if (!storage::QueryStorageDeviceProperty(disk, buffer.data(), buffer.size())) return false;
    storage::StorageDeviceDescriptor head;
    std::memcpy(&head, buffer.data(), offsetof(storage::StorageDeviceDescriptor, RawDeviceProperties));
    identity.vendor = ReadIdentificationString(buffer.data(), buffer.size(), head.VendorIdOffset, false);
    identity.product = ReadIdentificationString(buffer.data(), buffer.size(), head.ProductIdOffset, false);
    identity.revision = ReadIdentificationString(buffer.data(), buffer.size(), head.ProductRevisionOffset, false);
    identity.serial = ReadIdentificationString(buffer.data(), buffer.size(), head.SerialNumberOffset, true);
    return true;
}

bool IsPspIdentity(const DiskIdentity& identity) {
    return identity.vendor == "Sony" || identity.product == "PSP";
}

int FindPspDisk() {
    for (int disk = 0; disk < kPspMaxDisks; ++disk) {
        DiskIdentity identity;
        if (!ReadDiskIdentity(disk, identity)) continue;
        if (IsPspIdentity(identity)) return disk;
    }
    return -1;
}

bool FindPspVolume(int disk, PspLocation& location) {
    if (disk < 0) return false;
    for (const std::string& root : storage::ListDriveRoots()) {
        if (storage::VolumeDiskNumber(root) != disk) continue;
        location.disk = disk;
        location.root = root;
        location.videoFolder = root + "VIDEO/";
        return true;
    }
    return false;
}

PspDetection DetectPsp() {
    PspDetection found;
    const int disk = FindPspDisk();
    if (disk < 0) {
        found.result = PspDetectResult::NoPsp;
        return found;
    }
    found.result = FindPspVolume(disk, found.location) ? PspDetectResult::Found : PspDetectResult::NoVolume;
    return found;
}

}  // namespace kalvex
