#pragma once
// Builders for VobSub test data: subpicture units, 2,048-byte program-stream
// packs, index files, and RAR 4 archives in the "stored" method. Shared by
// the tests and the bench.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kalvex::samples {

inline std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

inline void Put16BE(std::vector<std::uint8_t>& v, unsigned x) {
    v.push_back(static_cast<std::uint8_t>(x >> 8));
    v.push_back(static_cast<std::uint8_t>(x));
}

// A subpicture unit: header, dummy pixel lines, a first control sequence
// (start, or forced start) and a second one with the stop command after
// stopDate (units of 1024/90 ms). stopDate < 0 leaves the stop out.
inline std::vector<std::uint8_t> MakeSpu(int stopDate, bool forced, std::size_t pixelBytes = 8) {
    std::vector<std::uint8_t> body;
    std::size_t ctrl1 = 4 + pixelBytes;
    std::size_t ctrl2 = ctrl1 + 4 + 1 + 3 + 3 + 7 + 5 + 1;
    std::vector<std::uint8_t> spu;
    Put16BE(spu, 0);  // size, set below
    Put16BE(spu, static_cast<unsigned>(ctrl1));
    for (std::size_t i = 0; i < pixelBytes; ++i) spu.push_back(static_cast<std::uint8_t>(0x11 + i));
    Put16BE(spu, 0);  // date
    Put16BE(spu, static_cast<unsigned>(stopDate >= 0 ? ctrl2 : ctrl1));
    spu.push_back(forced ? 0x00 : 0x01);
    spu.insert(spu.end(), {0x03, 0x01, 0x23});
    spu.insert(spu.end(), {0x04, 0xFF, 0xF0});
    spu.insert(spu.end(), {0x05, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x0F});
    spu.insert(spu.end(), {0x06, 0x00, 0x04, 0x00, 0x06});
    spu.push_back(0xFF);
    if (stopDate >= 0) {
        Put16BE(spu, static_cast<unsigned>(stopDate));
        Put16BE(spu, static_cast<unsigned>(ctrl2));
        spu.push_back(0x02);
        spu.push_back(0xFF);
    }
    spu[0] = static_cast<std::uint8_t>(spu.size() >> 8);
    spu[1] = static_cast<std::uint8_t>(spu.size());
    return spu;
}

// Appends the unit as 2,048-byte packs of private stream 1, sub-stream
// 0x20 + slot; returns the file position of its first pack.
inline std::uint64_t AppendSpuPacks(std::vector<std::uint8_t>& sub, int slot, const std::vector<std::uint8_t>& spu) {
    std::uint64_t first = sub.size();
    const std::size_t maxPayload = 2048 - 14 - 6 - 3 - 5 - 1;
    for (std::size_t done = 0; done < spu.size();) {
        std::size_t take = std::min(maxPayload, spu.size() - done);
        std::vector<std::uint8_t> pack = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
        std::size_t rest = maxPayload - take;
        std::size_t stuffing = rest < 6 ? rest : 0;
        std::size_t pesLength = 3 + 5 + stuffing + 1 + take;
        pack.insert(pack.end(), {0x00, 0x00, 0x01, 0xBD});
        Put16BE(pack, static_cast<unsigned>(pesLength));
        pack.push_back(0x81);
        pack.push_back(done == 0 ? 0x80 : 0x00);
        pack.push_back(static_cast<std::uint8_t>(5 + stuffing));
        if (done == 0) pack.insert(pack.end(), {0x21, 0x00, 0x01, 0x00, 0x01});
        else pack.insert(pack.end(), 5, 0xFF);
        pack.insert(pack.end(), stuffing, 0xFF);
        pack.push_back(static_cast<std::uint8_t>(0x20 + slot));
        pack.insert(pack.end(), spu.begin() + static_cast<std::ptrdiff_t>(done),
                    spu.begin() + static_cast<std::ptrdiff_t>(done + take));
        if (rest >= 6) {
            pack.insert(pack.end(), {0x00, 0x00, 0x01, 0xBE});
            Put16BE(pack, static_cast<unsigned>(rest - 6));
            pack.insert(pack.end(), rest - 6, 0xFF);
        }
        sub.insert(sub.end(), pack.begin(), pack.end());
        done += take;
    }
    return first;
}

inline std::string HmsMs(long long ms) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld:%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  ms % 1000);
    return buf;
}

inline std::string TimestampLine(long long ms, std::uint64_t filepos) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "timestamp: %s, filepos: %09llx\n", HmsMs(ms).c_str(),
                  static_cast<unsigned long long>(filepos));
    return buf;
}

inline const char* kIdxHeader =
    "# VobSub index file, v7 (do not modify this line!)\n"
    "size: 720x480\n"
    "org: 0, 0\n"
    "scale: 100%, 100%\n"
    "alpha: 100%\n"
    "smooth: OFF\n"
    "fadein/out: 50, 50\n"
    "align: OFF at LEFT TOP\n"
    "time offset: 0\n"
    "forced subs: OFF\n"
    "palette: 000000, 828282, 828282, 828282, 828282, 828282, 828282, ffffff, 828282, bababa, 828282, 828282, "
    "828282, 828282, 828282, 828282\n"
    "custom colors: OFF, tridx: 0000, colors: 000000, 000000, 000000, 000000\n"
    "langidx: 0\n";

// A RAR 4 archive holding the given files uncompressed ("stored").
inline std::vector<std::uint8_t> MakeRar4Stored(const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& files) {
    std::vector<std::uint8_t> out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
    auto put16 = [](std::vector<std::uint8_t>& v, unsigned x) {
        v.push_back(static_cast<std::uint8_t>(x));
        v.push_back(static_cast<std::uint8_t>(x >> 8));
    };
    auto put32 = [](std::vector<std::uint8_t>& v, std::uint32_t x) {
        for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
    };
    auto block = [&](const std::vector<std::uint8_t>& fromType) {
        std::uint32_t crc = Crc32(fromType.data(), fromType.size());
        put16(out, crc & 0xFFFF);
        out.insert(out.end(), fromType.begin(), fromType.end());
    };
    std::vector<std::uint8_t> main = {0x73};
    put16(main, 0);   // flags
    put16(main, 13);  // header size
    put16(main, 0);
    put32(main, 0);
    block(main);
    for (const auto& [name, data] : files) {
        std::vector<std::uint8_t> h = {0x74};
        put16(h, 0x8000);
        put16(h, static_cast<unsigned>(32 + name.size()));
        put32(h, static_cast<std::uint32_t>(data.size()));  // packed size
        put32(h, static_cast<std::uint32_t>(data.size()));  // unpacked size
        h.push_back(2);                                     // host OS: Windows
        put32(h, Crc32(data.data(), data.size()));
        put32(h, 0x5A2C6000);  // 2025-01-12 12:00:00 in DOS form
        h.push_back(20);       // version needed: 2.0
        h.push_back(0x30);     // method: store
        put16(h, static_cast<unsigned>(name.size()));
        put32(h, 0x20);  // archive attribute
        h.insert(h.end(), name.begin(), name.end());
        block(h);
        out.insert(out.end(), data.begin(), data.end());
    }
    out.insert(out.end(), {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00});
    return out;
}

}  // namespace kalvex::samples
