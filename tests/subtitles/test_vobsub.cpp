// VobSub index reading: languages and streams, index keys, picture data from
// ".sub" and ".rar", subpicture stop times, and the failures of the index.
#include <gtest/gtest.h>

#include <QFile>

#include "common/ui/Dialogs.h"
#include "subtitles/VobSubFile.h"
#include "samples/SubtitleSamples.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;

namespace {

std::string Root() { return test::TestRoot() + "/"; }

void WriteBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    test::WriteFile(Root() + name, std::string(bytes.begin(), bytes.end()));
}

// A pair "movie.idx"/"movie.sub": one picture per given (slot, start) in
// order, each shown for 1,000 ms by its stop command.
struct Pair {
    std::string idx;
    std::vector<std::uint8_t> sub;
};

Pair MakePair(const std::string& languages, const std::vector<std::pair<int, long long>>& pictures,
              const char* header = samples::kIdxHeader) {
    Pair p;
    p.idx = header;
    std::map<int, std::string> stamps;
    for (auto [slot, start] : pictures) {
        std::uint64_t pos = samples::AppendSpuPacks(p.sub, slot, samples::MakeSpu(88, false));
        stamps[slot] += samples::TimestampLine(start, pos);
    }
    // languages: "slot code" pairs separated by ';' ("0 en;3 de")
    size_t at = 0;
    while (at < languages.size()) {
        size_t end = languages.find(';', at);
        std::string item = languages.substr(at, end == std::string::npos ? std::string::npos : end - at);
        int slot = std::stoi(item.substr(0, item.find(' ')));
        std::string code = item.substr(item.find(' ') + 1);
        p.idx += "id: " + code + ", index: " + std::to_string(slot) + "\n" + stamps[slot];
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return p;
}

void Save(const Pair& p, const std::string& base = "movie") {
    test::WriteFile(Root() + base + ".idx", p.idx);
    WriteBytes(base + ".sub", p.sub);
}

QString Path(const std::string& name) { return QString::fromStdString(Root() + name); }

// Opens "movie.idx" holding `idx` beside an empty "movie.sub": for what
// the index alone decides.
bool OpenIndexOnly(CVobSubFile& vob, const std::string& idx) {
    test::WriteFile(Root() + "movie.idx", idx);
    WriteBytes("movie.sub", {});
    return vob.Open(Path("movie.idx"));
}

QString Describe(CVobSubFile& vob, int i) {
    WCHAR* name = nullptr;
    LCID lcid = 7;
    if (vob.DescribeStream(i, &name, &lcid) != S_OK) return "<fail>";
    QString s = QString::fromUtf16(name);
    CoTaskMemFree(name);
    EXPECT_EQ(lcid, 0u);
    return s;
}

}  // namespace

TEST(VobSub, EnglishStreamAndAlternativeName) {
    Save(MakePair("0 en", {{0, 1000}, {0, 2000}}));
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    ASSERT_EQ(vob.CountStreams(), 1);
    EXPECT_EQ(Describe(vob, 0), "English");
    EXPECT_EQ(vob.m_langs[0].name, "English");
    EXPECT_EQ(vob.m_langs[0].id, ('e' << 8) | 'n');
    ASSERT_EQ(vob.m_langs[0].subpos.size(), 2u);

    Pair alt = MakePair("0 en", {{0, 1000}});
    alt.idx += "alt: Director's comments\n";
    Save(alt);
    ASSERT_TRUE(vob.Open(Path("movie.sub")));
    EXPECT_EQ(Describe(vob, 0), "Director's comments");
    EXPECT_EQ(vob.m_langs[0].name, "English");
}

TEST(VobSub, LanguageTable) {
    EXPECT_STREQ(kVobSubLanguages[0].name, "(Not detected)");
    EXPECT_STREQ(kVobSubLanguages[FindVobSubLanguage(('c' << 8) | 'c')].name, "Closed Caption");
    EXPECT_STREQ(kVobSubLanguages[FindVobSubLanguage(('z' << 8) | 'u')].name, "Zulu");
    EXPECT_STREQ(kVobSubLanguages[FindVobSubLanguage(('d' << 8) | 'e')].name, "Deutsch");
    EXPECT_EQ(FindVobSubLanguage(('x' << 8) | 'x'), 0);
    EXPECT_STREQ(kVobSubLanguages[143].code, "zu");

    Save(MakePair("0 cc;1 xx", {{0, 1000}, {1, 1000}}));
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    EXPECT_EQ(Describe(vob, 0), "Closed Caption");
    EXPECT_EQ(Describe(vob, 1), "(Not detected)");
}

TEST(VobSub, StreamsAreTheNonEmptySlots) {
    // Slots 0 and 3 have pictures, 1 and 2 are declared without any.
    Save(MakePair("0 en;1 fr;2 es;3 de", {{0, 1000}, {3, 1500}, {0, 4000}}));
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    ASSERT_EQ(vob.CountStreams(), 2);
    EXPECT_EQ(Describe(vob, 0), "English");
    EXPECT_EQ(Describe(vob, 1), "Deutsch");
    WCHAR* name = nullptr;
    EXPECT_EQ(vob.DescribeStream(2, &name, nullptr), E_FAIL);
    EXPECT_EQ(vob.DescribeStream(-1, &name, nullptr), E_FAIL);
    SetTaskMemAllocHook([](std::size_t) -> void* { return nullptr; });
    EXPECT_EQ(vob.DescribeStream(0, &name, nullptr), E_OUTOFMEMORY);
    SetTaskMemAllocHook(nullptr);

    EXPECT_EQ(vob.GetStream(), 0);  // langidx: 0
    EXPECT_EQ(vob.SelectStream(1), S_OK);
    EXPECT_EQ(vob.m_iLang, 3);
    EXPECT_EQ(vob.GetStream(), 1);
    EXPECT_EQ(vob.SelectStream(2), E_FAIL);
    EXPECT_EQ(vob.m_iLang, 3);
    EXPECT_EQ(vob.SelectStream(0), S_OK);
    EXPECT_EQ(vob.m_iLang, 0);
    CLSID clsid{};
    EXPECT_EQ(vob.GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_VobSubFile);
}

TEST(VobSub, SameFilesThroughSubIdxAndRar) {
    Pair p = MakePair("0 en;2 fr", {{0, 1000}, {2, 1200}, {0, 3000}});
    Save(p);
    std::vector<QString> names;
    for (const char* n : {"movie.sub", "movie.idx", "movie.rar", "movie", "movie.IFO"}) {
        SCOPED_TRACE(n);
        CVobSubFile vob;
        ASSERT_TRUE(vob.Open(Path(n)));
        EXPECT_EQ(vob.CountStreams(), 2);
        EXPECT_EQ(vob.m_sub, p.sub);
        EXPECT_EQ(vob.m_title, Path("movie"));
    }
    // Only the archive: the ".sub" comes out of it.
    QFile::remove(Path("movie.sub"));
    WriteBytes("movie.rar", samples::MakeRar4Stored({{"readme.txt", {'h', 'i'}}, {"MOVIE.SUB", p.sub}}));
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(Path("movie.rar")));
    EXPECT_EQ(vob.m_sub, p.sub);
    EXPECT_EQ(vob.CountStreams(), 2);
    // Stop times come from the packets inside the archive as well.
    EXPECT_TRUE(vob.m_langs[0].subpos[0].fValid);
}

TEST(VobSub, CorruptOrUselessRarFails) {
    Pair p = MakePair("0 en", {{0, 1000}});
    test::WriteFile(Root() + "movie.idx", p.idx);
    std::vector<std::uint8_t> rar = samples::MakeRar4Stored({{"movie.sub", p.sub}});
    std::vector<std::uint8_t> badHeader = rar;
    badHeader[7 + 13 + 7] ^= 0x5A;  // the file header no longer matches its checksum
    WriteBytes("movie.rar", badHeader);
    CVobSubFile vob;
    EXPECT_FALSE(vob.Open(Path("movie.idx")));
    std::vector<std::uint8_t> badData = rar;
    badData[rar.size() / 2] ^= 0x5A;  // damaged pictures: read or refused, never a crash
    WriteBytes("movie.rar", badData);
    if (vob.Open(Path("movie.idx"))) {
        EXPECT_EQ(vob.CountStreams(), 1);
    }
    WriteBytes("movie.rar", samples::MakeRar4Stored({{"movie.txt", p.sub}}));
    EXPECT_FALSE(vob.Open(Path("movie.idx")));
    std::vector<std::uint8_t> cut = samples::MakeRar4Stored({{"movie.sub", p.sub}});
    cut.resize(40);
    WriteBytes("movie.rar", cut);
    EXPECT_FALSE(vob.Open(Path("movie.idx")));
    WriteBytes("movie.rar", std::vector<std::uint8_t>(5000, 0x52));
    EXPECT_FALSE(vob.Open(Path("movie.idx")));
    QFile::remove(Path("movie.rar"));
    EXPECT_FALSE(vob.Open(Path("movie.idx")));  // neither .sub nor .rar
}

TEST(VobSub, SubWhoseFirstBlockIsNoPackHeader) {
    Pair p = MakePair("0 en", {{0, 1000}});
    std::vector<std::uint8_t> sub(2048, 0);
    sub.insert(sub.end(), p.sub.begin(), p.sub.end());
    test::WriteFile(Root() + "movie.idx", p.idx);
    WriteBytes("movie.sub", sub);
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    EXPECT_TRUE(vob.m_sub.empty());
    EXPECT_EQ(vob.CountStreams(), 1);
    EXPECT_FALSE(vob.m_langs[0].subpos[0].fValid);
    EXPECT_EQ(vob.m_langs[0].subpos[0].stop, 1000);

    // Reading stops at the first block without a pack header.
    std::vector<std::uint8_t> two = p.sub;
    two.insert(two.end(), 2048, 0x11);
    two.insert(two.end(), p.sub.begin(), p.sub.end());
    WriteBytes("movie.sub", two);
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    EXPECT_EQ(vob.m_sub, p.sub);
}

TEST(VobSub, StopTimesFromControlSequences) {
    std::vector<std::uint8_t> sub;
    std::string idx = std::string(samples::kIdxHeader) + "id: en, index: 0\n";
    // 45 ticks of 1024/90 ms = 512 ms; no stop command → until the next
    // picture; the last without a stop → 3,000 ms; a forced one.
    idx += samples::TimestampLine(1000, samples::AppendSpuPacks(sub, 0, samples::MakeSpu(45, false)));
    idx += samples::TimestampLine(5000, samples::AppendSpuPacks(sub, 0, samples::MakeSpu(-1, true, 5000)));
    idx += samples::TimestampLine(6000, samples::AppendSpuPacks(sub, 0, samples::MakeSpu(1000, false)));
    idx += samples::TimestampLine(6500, samples::AppendSpuPacks(sub, 0, samples::MakeSpu(-1, false)));
    idx += samples::TimestampLine(7000, 0x7FFFFFFF);  // past the end of the data
    test::WriteFile(Root() + "movie.idx", idx);
    WriteBytes("movie.sub", sub);
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    const auto& sp = vob.m_langs[0].subpos;
    ASSERT_EQ(sp.size(), 5u);
    EXPECT_EQ(sp[0].stop, 1512);
    EXPECT_FALSE(sp[0].fForced);
    EXPECT_EQ(sp[1].stop, 6000);
    EXPECT_TRUE(sp[1].fForced);  // its unit spans three packs
    EXPECT_EQ(sp[2].stop, 6500);  // 11,377 ms by its stop, cut at the next start
    EXPECT_EQ(sp[3].stop, 7000);  // until the next start
    EXPECT_EQ(sp[4].stop, 7000);  // no packet: stop = start
    EXPECT_FALSE(sp[4].fValid);
    EXPECT_TRUE(sp[3].fValid);

    std::vector<std::uint8_t> unit = vob.GetPacket(0, 1);
    EXPECT_EQ(unit, samples::MakeSpu(-1, true, 5000));
    EXPECT_TRUE(vob.GetPacket(0, 9).empty());
    EXPECT_TRUE(vob.GetPacket(40, 0).empty());
    EXPECT_TRUE(vob.GetPacket(32, 0).empty());  // one past the last slot
    EXPECT_TRUE(vob.GetPacket(-1, 0).empty());
}

TEST(VobSub, LastPictureShowsThreeSecondsWithoutStop) {
    std::vector<std::uint8_t> sub;
    std::string idx = std::string(samples::kIdxHeader) + "id: en, index: 0\n";
    idx += samples::TimestampLine(2000, samples::AppendSpuPacks(sub, 0, samples::MakeSpu(-1, false)));
    test::WriteFile(Root() + "movie.idx", idx);
    WriteBytes("movie.sub", sub);
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    EXPECT_EQ(vob.m_langs[0].subpos[0].stop, 5000);
}

TEST(VobSub, IndexSettings) {
    std::string idx =
        "# VobSub index file, v7 (do not modify this line!)\n"
        "size: 720x576\norg: 10, 20\nscale: 90%, 110%\nalpha: 80%\nsmooth: OLD\nfadein/out: 40, 60\n"
        "align: ON at RIGHT BOTTOM\ntime offset: -00:00:01:500\nforced subs: ON\n"
        "palette: 000000, 111111, 222222, 333333, 444444, 555555, 666666, 777777, 888888, 999999, aaaaaa, bbbbbb, "
        "cccccc, dddddd, eeeeee, ffffff\n"
        "custom colors: ON, tridx: 1001, colors: 000001, 000002, 000003, 000004\n"
        "langidx: 3\n"
        "# Vob/Cell ID: 2, 5 (PTS: 12345)\n"
        "id: en, index: 3\n"
        "delay: 00:00:02:000\n"
        "timestamp: 00:00:01:000, filepos: 000000000\n";
    CVobSubFile vob;
    ASSERT_TRUE(OpenIndexOnly(vob, idx));
    EXPECT_EQ(vob.m_sizeX, 720);
    EXPECT_EQ(vob.m_sizeY, 576);
    EXPECT_EQ(vob.m_orgX, 10);
    EXPECT_EQ(vob.m_orgY, 20);
    EXPECT_EQ(vob.m_scale_x, 90);
    EXPECT_EQ(vob.m_scale_y, 110);
    EXPECT_EQ(vob.m_alpha, 80);
    EXPECT_EQ(vob.m_iSmooth, 2);
    EXPECT_EQ(vob.m_fadein, 40);
    EXPECT_EQ(vob.m_fadeout, 60);
    EXPECT_TRUE(vob.m_fAlign);
    EXPECT_EQ(vob.m_alignhor, 2);
    EXPECT_EQ(vob.m_alignver, 2);
    EXPECT_EQ(vob.m_toff, -1500);
    EXPECT_TRUE(vob.m_fOnlyShowForcedSubs);
    EXPECT_EQ(vob.m_orgpal[1], 0x111111u);
    EXPECT_EQ(vob.m_orgpal[15], 0xFFFFFFu);
    EXPECT_TRUE(vob.m_fCustomPal);
    EXPECT_EQ(vob.m_tridx, 0b1001);  // digits 1 and 4
    EXPECT_EQ(vob.m_cuspal[3], 4u);
    EXPECT_EQ(vob.m_iLang, 3);
    EXPECT_EQ(vob.GetStream(), 0);
    const auto& sp = vob.m_langs[3].subpos;
    ASSERT_EQ(sp.size(), 1u);
    EXPECT_EQ(sp[0].start, 3000);
    EXPECT_EQ(sp[0].vobid, 2);
    EXPECT_EQ(sp[0].cellid, 5);
    EXPECT_EQ(sp[0].celltimestamp, 12345);

}

TEST(VobSub, NegativeDelayNeverMovesStartsBackwards) {
    std::string idx = std::string(samples::kIdxHeader) +
                      "id: en, index: 0\n"
                      "timestamp: 00:00:10:000, filepos: 000000000\n"
                      "delay: -00:00:05:000\n"
                      "timestamp: 00:00:12:000, filepos: 000000000\n"  // 7,000 → moved up to 10,000; delay -2,000
                      "timestamp: 00:00:20:000, filepos: 000000000\n"  // 20,000 - 2,000
                      "id: de, index: 1\n"
                      "timestamp: 00:00:01:000, filepos: 000000000\n";  // delay reset by id
    CVobSubFile vob;
    ASSERT_TRUE(OpenIndexOnly(vob, idx));
    const auto& sp = vob.m_langs[0].subpos;
    ASSERT_EQ(sp.size(), 3u);
    EXPECT_EQ(sp[0].start, 10000);
    EXPECT_EQ(sp[1].start, 10000);
    EXPECT_EQ(sp[2].start, 18000);
    EXPECT_EQ(vob.m_langs[1].subpos[0].start, 1000);
}

// Each "delay:" line adds to the delay in force for its language; a later
// line does not replace the earlier ones.
TEST(VobSub, DelayLinesAddUp) {
    std::string idx = std::string(samples::kIdxHeader) +
                      "id: en, index: 0\n"
                      "delay: 00:00:02:000\n"
                      "timestamp: 00:00:01:000, filepos: 000000000\n"   // 1,000 + 2,000
                      "delay: 00:00:01:500\n"
                      "timestamp: 00:00:05:000, filepos: 000000000\n"   // 5,000 + 3,500
                      "delay: -00:00:00:250\n"
                      "timestamp: 00:00:09:000, filepos: 000000000\n";  // 9,000 + 3,250
    CVobSubFile vob;
    ASSERT_TRUE(OpenIndexOnly(vob, idx));
    const auto& sp = vob.m_langs[0].subpos;
    ASSERT_EQ(sp.size(), 3u);
    EXPECT_EQ(sp[0].start, 3000);
    EXPECT_EQ(sp[1].start, 8500);
    EXPECT_EQ(sp[2].start, 12250);
}

TEST(VobSub, IndexFailures) {
    WriteBytes("movie.sub", {});
    struct Case {
        const char* name;
        std::string idx;
        bool versionBox;
    };
    const std::string ok = "# VobSub index file, v7\n";
    const Case cases[] = {
        {"version 8", "# VobSub index file, v8\n", true},
        {"no header", "size: 720x480\n", true},
        {"empty index", "", false},
        {"unknown key", ok + "colour: red\n", false},
        {"alt before id", ok + "alt: x\n", false},
        {"delay before id", ok + "delay: 00:00:01:000\n", false},
        {"timestamp before id", ok + "timestamp: 00:00:01:000, filepos: 0\n", false},
        {"bad size", ok + "size: big\n", false},
        {"bad smooth", ok + "smooth: maybe\n", false},
        {"bad align", ok + "align: ON at MIDDLE\n", false},
        {"index 32", ok + "id: en, index: 32\n", false},
        {"index -1", ok + "id: en, index: -1\n", false},
        {"no index", ok + "id: en\n", false},
        {"short code", ok + "id: e\n", false},
        {"bad timestamp", ok + "id: en, index: 0\ntimestamp: 00:00, filepos: 0\n", false},
        {"no filepos", ok + "id: en, index: 0\ntimestamp: 00:00:01:000\n", false},
        {"palette of 15", ok + "palette: 1,2,3,4,5,6,7,8,9,a,b,c,d,e,f\n", false},
        {"custom colors without tridx", ok + "custom colors: ON, colors: 1, 2, 3, 4\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int boxes = 0;
        SetMessageBoxHook([&](const MessageBoxRequest&) {
            ++boxes;
            return IDOK;
        });
        test::WriteFile(Root() + "movie.idx", c.idx);
        CVobSubFile vob;
        EXPECT_FALSE(vob.Open(Path("movie.idx")));
        EXPECT_EQ(vob.CountStreams(), 0);
        // The reason comes back; the reader shows nothing.
        EXPECT_EQ(boxes, 0);
        EXPECT_EQ(vob.LastError().kind, c.versionBox ? SubtitleReadError::WrongVersion : SubtitleReadError::None);
        EXPECT_EQ(vob.LastError().text, c.versionBox ? "Wrong file version!" : "");
    }
    // 33 languages: the 33rd index is out of range.
    std::string many = ok;
    for (int i = 0; i <= 32; ++i) many += "id: en, index: " + std::to_string(i) + "\n";
    test::WriteFile(Root() + "movie.idx", many);
    CVobSubFile vob;
    EXPECT_FALSE(vob.Open(Path("movie.idx")));
    // Missing index.
    CVobSubFile none;
    EXPECT_FALSE(none.Open(Path("nothing.idx")));
}

TEST(VobSub, OldIndexNeedsInformationFileForPalette) {
    // Index versions up to 4 also give one scale for both directions.
    Pair p = MakePair("0 en", {{0, 1000}}, "# VobSub index file, v4\nscale: 75%\n");
    Save(p);
    CVobSubFile vob;
    EXPECT_FALSE(vob.Open(Path("movie.idx")));  // no movie.ifo

    // A minimal information file: PGCI at sector 1, first program chain at 16.
    std::vector<std::uint8_t> ifo(2048 + 16 + 0xA4 + 64, 0);
    std::memcpy(ifo.data(), "DVDVIDEO-VTS", 12);
    ifo[0xCF] = 1;                 // VTS_PGCI sector
    ifo[2048 + 0x0F] = 16;         // offset of program chain 1
    std::size_t pal = 2048 + 16 + 0xA4;
    ifo[pal + 1] = 235;            // entry 0: white (Y 235, Cr 128, Cb 128)
    ifo[pal + 2] = 128;
    ifo[pal + 3] = 128;
    ifo[pal + 5] = 16;             // entry 1: black
    ifo[pal + 6] = 128;
    ifo[pal + 7] = 128;
    WriteBytes("movie.ifo", ifo);
    ASSERT_TRUE(vob.Open(Path("movie.idx")));
    EXPECT_EQ(vob.m_orgpal[0], 0xFFFFFFu);
    EXPECT_EQ(vob.m_orgpal[1], 0x000000u);
    EXPECT_EQ(vob.CountStreams(), 1);
    EXPECT_EQ(vob.m_scale_x, 75);
    EXPECT_EQ(vob.m_scale_y, 75);

    ifo.resize(2100);  // the palette lies beyond the end
    WriteBytes("movie.ifo", ifo);
    EXPECT_FALSE(vob.Open(Path("movie.idx")));
}

TEST(VobSub, ControlSequenceParsing) {
    SubPictureInfo info;
    std::vector<std::uint8_t> spu = samples::MakeSpu(90, true);
    ASSERT_TRUE(ParseSubPictureControl(spu.data(), spu.size(), info));
    EXPECT_EQ(info.delay, 1024);
    EXPECT_TRUE(info.forced);
    // A chain that points backwards ends instead of looping.
    std::vector<std::uint8_t> loop = {0x00, 0x0C, 0x00, 0x04, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x04};
    EXPECT_TRUE(ParseSubPictureControl(loop.data(), loop.size(), info));
    EXPECT_FALSE(ParseSubPictureControl(loop.data(), 3, info));
    std::vector<std::uint8_t> badCtrl = {0x00, 0x08, 0x00, 0x40, 0, 0, 0, 0};
    EXPECT_FALSE(ParseSubPictureControl(badCtrl.data(), badCtrl.size(), info));
}
