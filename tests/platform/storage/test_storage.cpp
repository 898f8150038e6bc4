// The storage layer over a fake sysfs tree and mount table, and the real
// file operations: free space, chunked copy with progress and cancel, trash.
#include <gtest/gtest.h>

#include <QDir>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/storage/Storage.h"
#include "platform/system/SystemError.h"
#include "tests/platform/storage/FakeDisks.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::FakeDisks;
using test::ReadFile;
using test::TestRoot;
using test::WriteFile;

std::vector<std::string> Names(const std::vector<storage::BlockDisk>& disks) {
    std::vector<std::string> names;
    for (const auto& d : disks) names.push_back(d.name);
    return names;
}

TEST(Storage, DisksAreDeviceBackedWholeDevicesInNameOrder) {
    FakeDisks fake;
    fake.AddDisk("sdb", 8, 16, "B", "b");
    fake.AddDisk("sdaa", 65, 160, "AA", "aa");
    fake.AddVirtual("loop0", 7, 0);
    fake.AddDisk("sda", 8, 0, "A", "a");
    fake.AddDisk("nvme0n10", 259, 10, "N10", "n10");
    fake.AddDisk("nvme0n2", 259, 2, "N2", "n2");
    const auto disks = storage::ListDisks();
    EXPECT_EQ(Names(disks), (std::vector<std::string>{"nvme0n2", "nvme0n10", "sda", "sdaa", "sdb"}));
    ASSERT_EQ(disks[4].partitions.size(), 1u);
    EXPECT_EQ(disks[4].device, (storage::DeviceNumber{8, 16}));
    EXPECT_EQ(disks[4].partitions[0], (storage::DeviceNumber{8, 17}));
}

TEST(Storage, DescriptorCarriesPaddedStringsAndSwappedSerial) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "Sony    ", "PSP             ", "HQ123", "1.00");
    std::vector<char> buffer(10000, 0);
    ASSERT_TRUE(storage::QueryStorageDeviceProperty(0, buffer.data(), buffer.size()));
    storage::StorageDeviceDescriptor head;
    std::memcpy(&head, buffer.data(), offsetof(storage::StorageDeviceDescriptor, RawDeviceProperties));
    ASSERT_GT(head.VendorIdOffset, 0u);
    EXPECT_STREQ(buffer.data() + head.VendorIdOffset, "Sony    ");
    EXPECT_STREQ(buffer.data() + head.ProductIdOffset, "PSP             ");
    EXPECT_STREQ(buffer.data() + head.ProductRevisionOffset, "1.00");
    EXPECT_STREQ(buffer.data() + head.SerialNumberOffset, "QH213");  // pairs swapped, last one alone

    // No such disk; a buffer too small for the fixed part.
    EXPECT_FALSE(storage::QueryStorageDeviceProperty(1, buffer.data(), buffer.size()));
    EXPECT_FALSE(storage::QueryStorageDeviceProperty(0, buffer.data(), 8));
}

TEST(Storage, UsbSerialComesFromTheParentDevice) {
    FakeDisks fake;
    fake.AddDisk("sdb", 8, 16, "Sony", "PSP");
    // Make device a link into a USB device tree whose top carries the serial.
    namespace fs = std::filesystem;
    const std::string usb = fake.Root() + "/sys/devices/usb1/1-1";
    const std::string scsi = usb + "/1-1:1.0/host6/target6:0:0/6:0:0:0";
    fs::create_directories(scsi);
    WriteFile(usb + "/serial", "XYZ987\n");
    const std::string device = fake.Root() + "/sys/block/sdb/device";
    for (const char* f : {"vendor", "model", "rev"}) fs::rename(device + "/" + f, scsi + "/" + f);
    fs::remove_all(device);
    fs::create_directory_symlink(scsi, device);

    std::vector<char> buffer(10000, 0);
    ASSERT_TRUE(storage::QueryStorageDeviceProperty(0, buffer.data(), buffer.size()));
    storage::StorageDeviceDescriptor head;
    std::memcpy(&head, buffer.data(), offsetof(storage::StorageDeviceDescriptor, RawDeviceProperties));
    EXPECT_STREQ(buffer.data() + head.VendorIdOffset, "Sony");
    ASSERT_GT(head.SerialNumberOffset, 0u);
    EXPECT_STREQ(buffer.data() + head.SerialNumberOffset, "YX9Z78");
}

TEST(Storage, VolumesMapToTheirDisksThroughDeviceNumbers) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "ATA", "Disk");
    fake.AddDisk("sdb", 8, 16, "Sony", "PSP");
    const std::string whole = fake.Mount("whole", 8, 0);      // a disk without partition table
    const std::string part = fake.Mount("part", 8, 17);       // partition 1 of sdb
    const std::string bind = fake.Mount("bind", 8, 17, "/VIDEO");  // not the drive's root
    const std::string other = fake.Mount("other", 0, 44);     // no disk behind it

    const auto roots = storage::ListDriveRoots();
    EXPECT_EQ(std::count(roots.begin(), roots.end(), whole), 1);
    EXPECT_EQ(std::count(roots.begin(), roots.end(), part), 1);
    EXPECT_EQ(std::count(roots.begin(), roots.end(), bind), 0);
    EXPECT_LT(std::find(roots.begin(), roots.end(), whole), std::find(roots.begin(), roots.end(), part));

    EXPECT_EQ(storage::VolumeDiskNumber(whole), 0);
    EXPECT_EQ(storage::VolumeDiskNumber(part), 1);
    EXPECT_EQ(storage::VolumeDiskNumber(part.substr(0, part.size() - 1)), 1);  // without the slash
    EXPECT_EQ(storage::VolumeDiskNumber(other), -1);
    EXPECT_EQ(storage::VolumeDiskNumber(TestRoot() + "/nowhere/"), -1);
}

TEST(Storage, MountPointsWithBlanksAreUnescaped) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "Sony", "PSP");
    const std::string point = TestRoot() + "/machine/media/my psp";
    std::filesystem::create_directories(point);
    WriteFile(fake.Root() + "/mountinfo", "40 1 8:1 / " + TestRoot() + "/machine/media/my\\040psp rw - vfat /dev/sda1 rw\n");
    const auto roots = storage::ListDriveRoots();
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0], point + "/");
    EXPECT_EQ(storage::VolumeDiskNumber(point + "/"), 0);
}

TEST(Storage, FreeSpaceOfARealFolderAndTheSeam) {
    int64_t bytes = -1;
    ASSERT_TRUE(storage::GetDiskFreeBytes(TestRoot(), bytes));
    EXPECT_GT(bytes, 0);
    EXPECT_FALSE(storage::GetDiskFreeBytes(TestRoot() + "/missing/folder", bytes));
    EXPECT_EQ(GetLastError(), ENOENT);

    storage::SetDiskFreeSpaceHook([](const std::string& path, int64_t& b) {
        b = 12345;
        return path == "/psp/";
    });
    EXPECT_TRUE(storage::GetDiskFreeBytes("/psp/", bytes));
    EXPECT_EQ(bytes, 12345);
    EXPECT_FALSE(storage::GetDiskFreeBytes("/elsewhere/", bytes));
    storage::SetDiskFreeSpaceHook(nullptr);
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
    return bytes;
}

TEST(Storage, ChunkedCopyReportsProgressAndKeepsTheBytes) {
    const std::string source = TestRoot() + "/source.bin", target = TestRoot() + "/target.bin";
    const std::string bytes = Pattern(5 * 65536 + 123);
    WriteFile(source, bytes);
    WriteFile(target, std::string(10 * 65536, 'x'));  // replaced, not merged
    std::vector<std::pair<int64_t, int64_t>> calls;
    ASSERT_TRUE(storage::CopyFileWithProgress(
        source, target, [&](int64_t done, int64_t total) { calls.emplace_back(done, total); }, nullptr, 65536));
    EXPECT_EQ(ReadFile(target), bytes);
    ASSERT_EQ(calls.size(), 7u);  // start, then six chunks
    EXPECT_EQ(calls.front(), (std::pair<int64_t, int64_t>{0, bytes.size()}));
    EXPECT_EQ(calls[1].first, 65536);
    EXPECT_EQ(calls.back(), (std::pair<int64_t, int64_t>{bytes.size(), bytes.size()}));

    // An empty file copies too.
    WriteFile(source, "");
    EXPECT_TRUE(storage::CopyFileWithProgress(source, target, nullptr, nullptr));
    EXPECT_TRUE(std::filesystem::exists(target));
    EXPECT_EQ(std::filesystem::file_size(target), 0u);
}

TEST(Storage, CancelledOrFailedCopyLeavesNoPartialTarget) {
    const std::string source = TestRoot() + "/source.bin", target = TestRoot() + "/target.bin";
    WriteFile(source, Pattern(4 * 65536));
    std::atomic<int> cancel{0};
    // Cancelled after the second chunk.
    const bool ok = storage::CopyFileWithProgress(
        source, target, [&](int64_t done, int64_t) { if (done >= 2 * 65536) cancel = 1; }, &cancel, 65536);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ECANCELED);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_EQ(ReadFile(source).size(), 4u * 65536);  // the source is untouched

    // A missing source, a target folder that does not exist, a folder as target.
    EXPECT_FALSE(storage::CopyFileWithProgress(TestRoot() + "/none.bin", target, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_FALSE(storage::CopyFileWithProgress(source, TestRoot() + "/no/such/dir/t.bin", nullptr, nullptr));
    std::filesystem::create_directory(target);
    EXPECT_FALSE(storage::CopyFileWithProgress(source, target, nullptr, nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(target));
}

TEST(Storage, CopyCountsOnlyWhenFlushedWholeAndNotCancelled) {
    const std::string source = TestRoot() + "/source.bin", target = TestRoot() + "/target.bin";
    WriteFile(source, Pattern(3 * 65536 + 5));
    std::atomic<int> cancel{0};
    int64_t lastShown = 0;
    // Cancel pressed while the last block is flushed, with the bar at 100 %.
    storage::SetCopyFlushHook([&](const std::string& t) {
        EXPECT_EQ(t, target);
        cancel = 1;
    });
    EXPECT_FALSE(storage::CopyFileWithProgress(
        source, target, [&](int64_t done, int64_t) { lastShown = done; }, &cancel, 65536));
    EXPECT_EQ(GetLastError(), ECANCELED);
    EXPECT_EQ(lastShown, 3 * 65536 + 5);
    EXPECT_FALSE(std::filesystem::exists(target));

    // A device that kept fewer bytes than were written (the size check on
    // the target), whether one byte or all of them.
    for (int64_t keep : {int64_t(3 * 65536 + 4), int64_t(0)}) {
        storage::SetCopyFlushHook([&](const std::string& t) { std::filesystem::resize_file(t, keep); });
        EXPECT_FALSE(storage::CopyFileWithProgress(source, target, nullptr, nullptr, 65536)) << keep;
        EXPECT_EQ(GetLastError(), EIO);
        EXPECT_FALSE(std::filesystem::exists(target));
    }
    // A flush that is only slow, with no cancel, still copies.
    cancel = 0;
    int flushes = 0;
    storage::SetCopyFlushHook([&](const std::string&) { ++flushes; });
    EXPECT_TRUE(storage::CopyFileWithProgress(source, target, nullptr, &cancel, 65536));
    EXPECT_EQ(flushes, 1);
    EXPECT_EQ(ReadFile(target), ReadFile(source));
    storage::SetCopyFlushHook(nullptr);
}

TEST(Storage, DeleteAndTrash) {
    const std::string a = TestRoot() + "/a.mp4", b = TestRoot() + "/b.mp4";
    WriteFile(a, "a");
    WriteFile(b, "bb");
    EXPECT_TRUE(storage::DeleteFile(a));
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_FALSE(storage::DeleteFile(a));
    EXPECT_EQ(GetLastError(), ENOENT);

    ASSERT_TRUE(storage::MoveToTrash(b));
    EXPECT_FALSE(std::filesystem::exists(b));
    // The desktop trash of this user's data folder holds it now.
    EXPECT_EQ(ReadFile(TestRoot() + "/data/Trash/files/b.mp4"), "bb");
    EXPECT_FALSE(storage::MoveToTrash(b));
}

}  // namespace
}  // namespace kalvex
