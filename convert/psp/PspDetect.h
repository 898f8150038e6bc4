#pragma once
// Finding the PSP: the physical disk whose identification says Sony or PSP,
// and the mounted volume on it whose VIDEO folder receives the copies.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kalvex {

// Disk numbers 0 to 15 are searched.
constexpr int kPspMaxDisks = 16;
// Size of the buffer the storage descriptor is read into.
constexpr size_t kDescriptorBufferSize = 10000;

// One identification string of a storage descriptor at `offset` in the
// `size` bytes of `descriptor` (an offset below 1 gives ""): read as pairs
// of hexadecimal digits when the whole text is such pairs giving printable
// bytes (a space is the digit 0, a 0 byte ends the text), otherwise copied
// as it is while printable ("" when a non-printable character comes before
// the end); the serial number has the two bytes of every pair swapped;
// leading and trailing white space is removed.
std::string ReadIdentificationString(const void* descriptor, size_t size, int64_t offset, bool serial);

struct DiskIdentity {
    std::string vendor;
    std::string product;
    std::string revision;
    std::string serial;
};

// The identification strings of disk `disk`; false when the disk cannot be
// queried.
bool ReadDiskIdentity(int disk, DiskIdentity& identity);

// True for the PSP: vendor exactly "Sony" or product exactly "PSP".
bool IsPspIdentity(const DiskIdentity& identity);

// The number of the first disk (0 to 15) that is a PSP, or -1.
int FindPspDisk();

// Where the PSP is mounted.
struct PspLocation {
    int disk = -1;
    std::string root;         // the mount point, ending with "/"
    std::string videoFolder;  // root + "VIDEO/"
};

// The first drive root whose volume lies on `disk`; false when none does.
bool FindPspVolume(int disk, PspLocation& location);

// What a search for the PSP found.
enum class PspDetectResult {
    Found,     // location holds the PSP's mount point
    NoPsp,     // no disk identifies itself as a PSP
    NoVolume,  // the PSP's disk has no mounted volume
};
struct PspDetection {
    PspDetectResult result = PspDetectResult::NoPsp;
    PspLocation location;  // filled when found
};

// One search: the first PSP disk, then its mount point. Asks nobody; the
// caller decides whether to search again.
PspDetection DetectPsp();

}  // namespace kalvex
