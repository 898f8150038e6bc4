#pragma once
// A fake machine for the PSP search: a sysfs folder tree with block devices,
// a mount table file and mount-point folders, all under the test's folder,
// reached through KALVEX_SYSFS_ROOT and KALVEX_MOUNTINFO.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestEnv.h"

namespace kalvex::test {

class FakeDisks {
public:
    FakeDisks() : root_(TestRoot() + "/machine") {
        std::filesystem::create_directories(root_ + "/sys/block");
        setenv("KALVEX_SYSFS_ROOT", (root_ + "/sys").c_str(), 1);
        setenv("KALVEX_MOUNTINFO", (root_ + "/mountinfo").c_str(), 1);
        WriteMountTable();
    }
    ~FakeDisks() {
        unsetenv("KALVEX_SYSFS_ROOT");
        unsetenv("KALVEX_MOUNTINFO");
    }

    // A disk with a device (vendor, model, rev and serial files) and one
    // partition <name>1 numbered major:minor+1.
    void AddDisk(const std::string& name, unsigned major, unsigned minor, const std::string& vendor,
                 const std::string& model, const std::string& serial = "", const std::string& rev = "1.00") {
        const std::string disk = root_ + "/sys/block/" + name;
        std::filesystem::create_directories(disk + "/device");
        WriteFile(disk + "/dev", std::to_string(major) + ":" + std::to_string(minor) + "\n");
        WriteFile(disk + "/device/vendor", vendor + "\n");
        WriteFile(disk + "/device/model", model + "\n");
        WriteFile(disk + "/device/rev", rev + "\n");
        if (!serial.empty()) WriteFile(disk + "/device/serial", serial + "\n");
        const std::string part = disk + "/" + name + "1";
        std::filesystem::create_directories(part);
        WriteFile(part + "/dev", std::to_string(major) + ":" + std::to_string(minor + 1) + "\n");
        WriteFile(part + "/partition", "1\n");
    }

    // A block device without a device (a loop device, say).
    void AddVirtual(const std::string& name, unsigned major, unsigned minor) {
        const std::string disk = root_ + "/sys/block/" + name;
        std::filesystem::create_directories(disk);
        WriteFile(disk + "/dev", std::to_string(major) + ":" + std::to_string(minor) + "\n");
    }

    // Mounts device major:minor at a new folder <machine>/media/<name>;
    // returns the mount point with a trailing "/".
    std::string Mount(const std::string& name, unsigned major, unsigned minor, const std::string& root = "/") {
        const std::string point = root_ + "/media/" + name;
        std::filesystem::create_directories(point);
        mounts_.push_back({std::to_string(major) + ":" + std::to_string(minor), root, point});
        WriteMountTable();
        return point + "/";
    }

    // Takes every mount of the folder out of the table (the folder stays,
    // as an unplugged disk's mount point may).
    void Unmount(const std::string& point) {
        std::vector<Entry> kept;
        for (const Entry& e : mounts_)
            if (e.point + "/" != point && e.point != point) kept.push_back(e);
        mounts_ = kept;
        WriteMountTable();
    }

    // The usual PSP: vendor "Sony" padded to 8 characters, model "PSP",
    // partition mounted. Returns the mount point.
    std::string AddPsp(const std::string& name = "sdb", unsigned major = 8, unsigned minor = 16) {
        AddDisk(name, major, minor, "Sony    ", "PSP             ", "0123456789");
        return Mount("PSP", major, minor + 1);
    }

    const std::string& Root() const { return root_; }

private:
    struct Entry {
        std::string dev, root, point;
    };
    void WriteMountTable() {
        std::string text = "21 1 0:20 / /proc rw,nosuid - proc proc rw\n";
        int id = 30;
        for (const Entry& e : mounts_)
            text += std::to_string(id++) + " 1 " + e.dev + " " + e.root + " " + e.point +
                    " rw,relatime shared:1 - vfat /dev/fake rw\n";
        WriteFile(root_ + "/mountinfo", text);
    }

    std::string root_;
    std::vector<Entry> mounts_;
};

}  // namespace kalvex::test
