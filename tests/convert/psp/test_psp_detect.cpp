// Finding the PSP: the identification-string rule, the disk search over a
// fake sysfs tree and the mapping of the disk to its mount point.
#include <gtest/gtest.h>

#include <cstring>

#include "convert/psp/FormatSize.h"
#include "convert/psp/PspDetect.h"
#include "convert/psp/PspDialogs.h"
#include "tests/platform/storage/FakeDisks.h"

namespace kalvex {
namespace {

using test::FakeDisks;

// A descriptor buffer with one string at offset 40.
std::string Read(const std::string& text, bool serial = false, int64_t offset = 40) {
    std::vector<char> buffer(200, 0);
    std::memcpy(buffer.data() + 40, text.data(), text.size());
    return ReadIdentificationString(buffer.data(), buffer.size(), offset, serial);
}

TEST(PspIdentification, PlainTextIsCopiedAndTrimmed) {
    EXPECT_EQ(Read("Sony    "), "Sony");
    EXPECT_EQ(Read("  PSP   "), "PSP");  // leading blanks read as hex zeros, then 'P' ends the attempt
    EXPECT_EQ(Read("Mass Storage"), "Mass Storage");
    EXPECT_EQ(Read("Son\x01y"), "");      // a control character before the end empties it
    EXPECT_EQ(Read("Sony", false, 0), "");  // no offset, no string
    EXPECT_EQ(Read("Sony", false, -5), "");
    EXPECT_EQ(Read(""), "");
}

TEST(PspIdentification, HexPairsAreDecodedWhenTheyGivePrintableBytes) {
    EXPECT_EQ(Read("536F6E79"), "Sony");
    EXPECT_EQ(Read("536f6e79"), "Sony");           // either case
    EXPECT_EQ(Read("2020536F6E792020"), "Sony");   // "  Sony  ", trimmed
    EXPECT_EQ(Read("  536F6E79"), "");             // "  " is a 0 byte, which ends the text at once
    EXPECT_EQ(Read("505350"), "PSP");
    EXPECT_EQ(Read("505350000041"), "PSP");        // a 0 byte ends the text
    EXPECT_EQ(Read("1234"), "1234");               // 0x12 is not printable: copied as it is
    EXPECT_EQ(Read("ABCD"), "ABCD");
    EXPECT_EQ(Read("53 F"), "53 F");               // " F" gives 0x0F: not printable
}

TEST(PspIdentification, SerialPairsAreSwapped) {
    EXPECT_EQ(Read("QH213", true), "HQ123");
    EXPECT_EQ(Read("34333231", true), "3412");     // hex "4321", then swapped
    EXPECT_EQ(Read("  BA  ", true), "AB");         // swapped before trimming: "  AB  "
    EXPECT_EQ(Read("QH213", false), "QH213");      // only the serial is swapped
}

TEST(PspSearch, SonyPaddedWithSpacesIsFoundAndItsSerialReadsBack) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "ATA     ", "WDC WD10EZEX", "WD-12345");
    fake.AddDisk("sdb", 8, 16, "Sony    ", "PSP Memory Card ", "ABCDEF0123");
    EXPECT_EQ(FindPspDisk(), 1);
    DiskIdentity id;
    ASSERT_TRUE(ReadDiskIdentity(1, id));
    EXPECT_EQ(id.vendor, "Sony");
    EXPECT_EQ(id.product, "PSP Memory Card");
    EXPECT_EQ(id.revision, "1.00");
    EXPECT_EQ(id.serial, "ABCDEF0123");
    ASSERT_TRUE(ReadDiskIdentity(0, id));
    EXPECT_EQ(id.serial, "WD-12345");
    EXPECT_FALSE(ReadDiskIdentity(2, id));
}

TEST(PspSearch, VendorAndProductMustMatchExactly) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "SONY    ", "Memory Stick");
    fake.AddDisk("sdb", 8, 16, "Sony Corp", "psp");
    EXPECT_EQ(FindPspDisk(), -1);
    // "SONY" is found once its product is "PSP".
    fake.AddDisk("sdc", 8, 32, "SONY    ", "PSP     ");
    EXPECT_EQ(FindPspDisk(), 2);
}

TEST(PspSearch, LowestNumberWinsAndOnlySixteenDisksAreSearched) {
    FakeDisks fake;
    fake.AddVirtual("loop0", 7, 0);  // no device: not a physical disk, takes no number
    fake.AddDisk("sdc", 8, 32, "Sony", "PSP");
    fake.AddDisk("sdd", 8, 48, "Sony", "PSP");
    EXPECT_EQ(FindPspDisk(), 0);

    // Rebuild the tree with sixteen other disks before the PSP.
    std::filesystem::remove_all(fake.Root() + "/sys/block");
    std::filesystem::create_directories(fake.Root() + "/sys/block");
    for (int i = 0; i < 16; ++i) {
        std::string name = "sd";
        name += static_cast<char>('a' + i);
        fake.AddDisk(name, 8, 16 * i, "ATA", "Disk");
    }
    fake.AddDisk("sdq", 65, 0, "Sony", "PSP");  // disk number 16
    EXPECT_EQ(FindPspDisk(), -1);
    std::filesystem::remove_all(fake.Root() + "/sys/block/sda");  // now it is number 15
    EXPECT_EQ(FindPspDisk(), 15);
}

TEST(PspSearch, VideoFolderIsTheMountPointOfThePspVolume) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "ATA", "Disk");
    fake.Mount("system", 8, 1);
    const std::string psp = fake.AddPsp("sdb", 8, 16);
    int dialogs = 0;
    SetPspDialogHook([&](QDialog&) { ++dialogs; return IDCANCEL; });
    std::string folder;
    ASSERT_TRUE(FindPspVideoFolder(folder));
    EXPECT_EQ(folder, psp + "VIDEO/");
    EXPECT_EQ(dialogs, 0);
    SetPspDialogHook(nullptr);
}

TEST(PspSearch, NoPspAsksUntilConnectedOrCancelled) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "ATA", "Disk");
    std::vector<QString> asked;
    // Cancel at once: false.
    SetPspDialogHook([&](QDialog& dlg) {
        asked.push_back(dlg.windowTitle());
        EXPECT_EQ(static_cast<CNoPspDetectedDlg&>(dlg).Text(),
                  "Please connect PSP to your computer through USB port.");
        return IDCANCEL;
    });
    std::string folder = "unchanged";
    EXPECT_FALSE(FindPspVideoFolder(folder));
    EXPECT_EQ(folder, "unchanged");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], "No PSP detected");

    // OK retries: the user plugs the PSP in at the second question.
    asked.clear();
    std::string mounted;
    SetPspDialogHook([&](QDialog& dlg) {
        asked.push_back(dlg.windowTitle());
        if (asked.size() == 2) mounted = fake.AddPsp();
        return asked.size() < 5 ? IDOK : IDCANCEL;  // a PSP that is never found ends the test
    });
    ASSERT_TRUE(FindPspVideoFolder(folder));
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_EQ(folder, mounted + "VIDEO/");
    SetPspDialogHook(nullptr);
}

TEST(PspSearch, PspWithoutMountedVolumeGivesFalseWithoutQuestion) {
    FakeDisks fake;
    fake.AddDisk("sdb", 8, 16, "Sony", "PSP");
    fake.Mount("bind", 8, 17, "/VIDEO");  // only a sub folder of it is mounted
    int dialogs = 0;
    SetPspDialogHook([&](QDialog&) { ++dialogs; return IDCANCEL; });
    std::string folder;
    EXPECT_FALSE(FindPspVideoFolder(folder));
    EXPECT_EQ(dialogs, 0);
    SetPspDialogHook(nullptr);
}

TEST(PspFormatSize, UnitsAndBoundaries) {
    EXPECT_EQ(FormatSize(0), "0B");
    EXPECT_EQ(FormatSize(1024), "1024B");
    EXPECT_EQ(FormatSize(1025), "1.00K");
    EXPECT_EQ(FormatSize(1536), "1.50K");
    EXPECT_EQ(FormatSize(1048576), "1024.00K");
    EXPECT_EQ(FormatSize(2 * 1048576), "2.00M");
    EXPECT_EQ(FormatSize(1073741824), "1024.00M");
    EXPECT_EQ(FormatSize(1073741824LL * 5 / 2), "2.50G");
    EXPECT_EQ(FormatSize(-5), "-5B");
    EXPECT_EQ(FormatSize(-5000000), "-5000000B");
}

}  // namespace
}  // namespace kalvex
