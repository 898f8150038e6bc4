#pragma once
// VobSub subtitles: a text index (".idx") and the MPEG program stream of the
// subtitle pictures (".sub", or the ".sub" inside a ".rar"). Reading gives
// the index settings, up to 32 language slots with their subpicture lists,
// and the picture data; the non-empty slots are the streams.
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

#include "subtitles/ReadError.h"
#include "subtitles/SubStream.h"

namespace kalvex {

// {3F5A1C3B-7E0A-4E55-9D6E-2C1D8B0F4A21}
constexpr CLSID CLSID_VobSubFile = {0x3F5A1C3B, 0x7E0A, 0x4E55, {0x9D, 0x6E, 0x2C, 0x1D, 0x8B, 0x0F, 0x4A, 0x21}};

struct VobSubLanguage {
    const char* code;  // two letters
    const char* name;
};
// The 144 languages; row 0 ("--", "(Not detected)") is the fallback.
extern const VobSubLanguage kVobSubLanguages[144];
// Row of the language whose code matches exactly (first letter in the high
// byte, second in the low byte); 0 when none does.
int FindVobSubLanguage(std::uint16_t id);

class CVobSubSettings {
public:
    CVobSubSettings();
    void InitSettings();

    int m_sizeX, m_sizeY;      // original picture size
    int m_orgX, m_orgY;        // origin
    int m_scale_x, m_scale_y;  // percent
    int m_alpha;               // percent
    int m_iSmooth;             // 0 off, 1 on, 2 old
    int m_fadein, m_fadeout;   // ms
    bool m_fAlign;
    int m_alignhor, m_alignver;  // 0 left/top, 1 centre, 2 right/bottom
    int m_toff;                  // ms, signed
    bool m_fOnlyShowForcedSubs;
    std::uint32_t m_orgpal[16];  // 0x00RRGGBB
    bool m_fCustomPal;
    int m_tridx;                 // 4-bit transparency mask of the custom colours
    std::uint32_t m_cuspal[4];
};

class CVobSubFile : public CVobSubSettings, public ISubStream {
public:
    struct SubPos {
        std::int64_t filepos = 0;
        std::int64_t start = 0, stop = 0;  // ms
        int vobid = -1, cellid = -1;
        std::int64_t celltimestamp = 0;
        bool fValid = false, fForced = false;
    };
    struct SubLang {
        std::uint16_t id = 0;
        QString name, alt;
        std::vector<SubPos> subpos;
    };

    CVobSubFile();
    ~CVobSubFile() override;

    // Opens movie.idx with movie.sub (or movie.rar); the path may name any of
    // the pair (".ifo .idx .sub .sst .son .rar"). When it answers false,
    // LastError() tells whether the user is to be told why.
    bool Open(const QString& path);
    void Close();

    // Why the last Open failed: a wrong index version, or None.
    const SubtitleReadError& LastError() const { return m_error; }

    // ISubStream
    HRESULT GetClassID(CLSID* pClassID) override;
    int CountStreams() override;
    HRESULT DescribeStream(int i, WCHAR** ppName, LCID* pLCID) override;
    int GetStream() override;
    HRESULT SelectStream(int i) override;

    // The subpicture unit (all its packets joined) of subpicture idx of slot
    // iLang; empty when the data holds none at its file position.
    std::vector<std::uint8_t> GetPacket(int iLang, int idx) const;

    int m_iLang = 0;
    // The index file's 32 language slots. Slot numbers come from the file:
    // they are checked where they are read, and every access by such a
    // number goes through at() so that a missed check throws instead of
    // writing past the table.
    std::array<SubLang, 32> m_langs;
    std::vector<std::uint8_t> m_sub;
    int m_indexVersion = 0;
    QString m_title;
    SubtitleReadError m_error;

    // Steps of Open, exposed for tests.
    bool ReadIdx(const QString& fn, int& ver);
    bool ReadSub(const QString& fn);
    bool ReadRar(const QString& fn);
    bool ReadIfo(const QString& fn);
    void ComputeStopTimes();
};

// The control sequences of a subpicture unit: the display time the stop
// command gives (ms, -1 without one) and the forced flag.
struct SubPictureInfo {
    std::int64_t delay = -1;
    bool forced = false;
};
bool ParseSubPictureControl(const std::uint8_t* spu, std::size_t size, SubPictureInfo& info);

}  // namespace kalvex
