#pragma once
// Disks, volumes, free space and file copying: the storage queries the PSP
// search and copy rely on, over sysfs and the mount table.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kalvex::storage {

// Where disks and mounts are read from: $KALVEX_SYSFS_ROOT (default "/sys")
// and $KALVEX_MOUNTINFO (default "/proc/self/mountinfo"). Both are read
// anew at every call, so tests can point them at a folder tree.
std::string SysfsRoot();
std::string MountInfoPath();

// A major:minor device number.
struct DeviceNumber {
    unsigned major = 0;
    unsigned minor = 0;
    bool operator==(const DeviceNumber&) const = default;
};

// A physical disk: a whole block device of <sysfs>/block that is backed by a
// device (it has a "device" entry; loop, ram and device-mapper nodes have
// none and are no physical disks). The disks are numbered in name order
// (digit runs compared as numbers: nvme0n2 < nvme0n10 < sda < sdb).
struct BlockDisk {
    std::string name;                     // "sdb"
    std::string path;                     // <sysfs>/block/sdb
    DeviceNumber device;                  // from its "dev" file
    std::vector<DeviceNumber> partitions; // from the "dev" files of its partitions
};
std::vector<BlockDisk> ListDisks();

// The layout of the storage device descriptor: fixed fields, then the
// identification strings as NUL-terminated texts at the given offsets
// (0 = the disk has no such string).
struct StorageDeviceDescriptor {
    uint32_t Version;
    uint32_t Size;
    uint8_t DeviceType;
    uint8_t DeviceTypeModifier;
    uint8_t RemovableMedia;
    uint8_t CommandQueueing;
    uint32_t VendorIdOffset;
    uint32_t ProductIdOffset;
    uint32_t ProductRevisionOffset;
    uint32_t SerialNumberOffset;
    uint32_t BusType;
    uint32_t RawPropertiesLength;
    uint8_t RawDeviceProperties[1];
};

// Asks disk number `disk` (an index into ListDisks) for its descriptor and
// writes it into buffer. The strings come from <disk>/device/vendor, model,
// rev and the serial number (device/serial, the unit serial number page
// device/vpd_pg80, or the "serial" of the nearest parent device, as USB
// disks carry it). Each string keeps its padding; the serial is stored with
// the two bytes of each pair swapped, as disks report it. False when there
// is no such disk or the buffer cannot hold the fixed part.
bool QueryStorageDeviceProperty(int disk, void* buffer, size_t size);

// One line of the mount table.
struct MountEntry {
    DeviceNumber device;
    std::string root;        // the folder of the file system that is mounted ("/" for all of it)
    std::string mountPoint;  // with a trailing "/"
    std::string fsType;
};
std::vector<MountEntry> ListMounts();

// The drive roots: mount points that show a whole file system (root "/"),
// in mount-table order, each ending with "/", each listed once.
std::vector<std::string> ListDriveRoots();

// The number of the disk that holds the volume mounted at root, or -1 when
// no mounted volume has that root or no disk holds it. A root mounted over
// several times is the last mount of it, which is the one visible there.
int VolumeDiskNumber(const std::string& root);

// Bytes free for the user on the file system holding path (statvfs:
// available blocks x fragment size). False when the query fails.
bool GetDiskFreeBytes(const std::string& path, int64_t& freeBytes);
// The same for a path that may not exist yet (a destination folder not made
// so far): asked through its nearest existing parent folder.
bool GetDiskFreeBytesNearest(const std::string& path, int64_t& freeBytes);
// Seam for tests: answers every free-space query instead of the system.
// A null function restores the real query.
void SetDiskFreeSpaceHook(std::function<bool(const std::string& path, int64_t& freeBytes)> hook);

// Copies source to target (created or replaced) in chunks. After every
// chunk progress gets (bytes copied, file size) and the cancel flag is
// tested; a set flag ends the copy. True only when every byte was written,
// the target's data was flushed to the device, the flag was still clear
// after the flush, and the target's size on the device equals the source's.
// Otherwise the partly written target is removed, the system error code is
// left for GetLastError (ECANCELED for a cancel, EIO for a size that does
// not match) and false comes back.
using CopyProgress = std::function<void(int64_t copied, int64_t total)>;
bool CopyFileWithProgress(const std::string& source, const std::string& target,
                          const CopyProgress& progress, const std::atomic<int>* cancel,
                          size_t chunkSize = 1 << 20);
// Seam for tests: called with the target's path after its last byte was
// written and before its data is flushed (a slow device spends its time
// there). A null function removes it.
void SetCopyFlushHook(std::function<void(const std::string& target)> hook);

// Seam for tests: called on the copying thread with the target's path and
// the bytes copied so far after each chunk was written and reported, before
// the cancel flag is looked at again. A null function removes it.
void SetCopyChunkHook(std::function<void(const std::string& target, int64_t copied, int64_t total)> hook);

// Seam for tests: consulted before each move to the trash with the file's
// path; false makes that move fail as a trash that refuses the file would.
// A null function removes it.
void SetTrashHook(std::function<bool(const std::string& path)> hook);

// Deletes a file for good; false (error code kept) when it cannot.
bool DeleteFile(const std::string& path);
// Moves a file or folder to the desktop trash; false when it cannot.
bool MoveToTrash(const std::string& path);

}  // namespace kalvex::storage
