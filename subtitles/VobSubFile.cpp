#include "subtitles/VobSubFile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "subtitles/RarArchive.h"
#include "subtitles/Scan.h"
#include "subtitles/TextFile.h"

namespace kalvex {

const VobSubLanguage kVobSubLanguages[144] = {
    {"--", "(Not detected)"},
    {"cc", "Closed Caption"},
    {"aa", "Afar"},
    {"ab", "Abkhazian"},
    {"af", "Afrikaans"},
    {"am", "Amharic"},
    {"ar", "Arabic"},
    {"as", "Assamese"},
    {"ay", "Aymara"},
    {"az", "Azerbaijani"},
    {"ba", "Bashkir"},
    {"be", "Byelorussian"},
    {"bg", "Bulgarian"},
    {"bh", "Bihari"},
    {"bi", "Bislama"},
    {"bn", "Bengali; Bangla"},
    {"bo", "Tibetan"},
    {"br", "Breton"},
    {"ca", "Catalan"},
    {"co", "Corsican"},
    {"cs", "Czech"},
    {"cy", "Welsh"},
    {"da", "Dansk"},
    {"de", "Deutsch"},
    {"dz", "Bhutani"},
    {"el", "Greek"},
    {"en", "English"},
    {"eo", "Esperanto"},
    {"es", "Espanol"},
    {"et", "Estonian"},
    {"eu", "Basque"},
    {"fa", "Persian"},
    {"fi", "Finnish"},
    {"fj", "Fiji"},
    {"fo", "Faroese"},
    {"fr", "Francais"},
    {"fy", "Frisian"},
    {"ga", "Irish"},
    {"gd", "Scots Gaelic"},
    {"gl", "Galician"},
    {"gn", "Guarani"},
    {"gu", "Gujarati"},
    {"ha", "Hausa"},
    {"he", "Hebrew"},
    {"hi", "Hindi"},
    {"hr", "Hrvatski"},
    {"hu", "Hungarian"},
    {"hy", "Armenian"},
    {"ia", "Interlingua"},
    {"id", "Indonesian"},
    {"ie", "Interlingue"},
    {"ik", "Inupiak"},
    {"in", "Indonesian"},
    {"is", "Islenska"},
    {"it", "Italiano"},
    {"iu", "Inuktitut"},
    {"iw", "Hebrew"},
    {"ja", "Japanese"},
    {"ji", "Yiddish"},
    {"jw", "Javanese"},
    {"ka", "Georgian"},
    {"kk", "Kazakh"},
    {"kl", "Greenlandic"},
    {"km", "Cambodian"},
    {"kn", "Kannada"},
    {"ko", "Korean"},
    {"ks", "Kashmiri"},
    {"ku", "Kurdish"},
    {"ky", "Kirghiz"},
    {"la", "Latin"},
    {"ln", "Lingala"},
    {"lo", "Laothian"},
    {"lt", "Lithuanian"},
    {"lv", "Latvian, Lettish"},
    {"mg", "Malagasy"},
    {"mi", "Maori"},
    {"mk", "Macedonian"},
    {"ml", "Malayalam"},
    {"mn", "Mongolian"},
    {"mo", "Moldavian"},
    {"mr", "Marathi"},
    {"ms", "Malay"},
    {"mt", "Maltese"},
    {"my", "Burmese"},
    {"na", "Nauru"},
    {"ne", "Nepali"},
    {"nl", "Nederlands"},
    {"no", "Norsk"},
    {"oc", "Occitan"},
    {"om", "(Afan) Oromo"},
    {"or", "Oriya"},
    {"pa", "Punjabi"},
    {"pl", "Polish"},
    {"ps", "Pashto, Pushto"},
    {"pt", "Portugues"},
    {"qu", "Quechua"},
    {"rm", "Rhaeto-Romance"},
    {"rn", "Kirundi"},
    {"ro", "Romanian"},
    {"ru", "Russian"},
    {"rw", "Kinyarwanda"},
    {"sa", "Sanskrit"},
    {"sd", "Sindhi"},
    {"sg", "Sangho"},
    {"sh", "Serbo-Croatian"},
    {"si", "Sinhalese"},
    {"sk", "Slovak"},
    {"sl", "Slovenian"},
    {"sm", "Samoan"},
    {"sn", "Shona"},
    {"so", "Somali"},
    {"sq", "Albanian"},
    {"sr", "Serbian"},
    {"ss", "Siswati"},
    {"st", "Sesotho"},
    {"su", "Sundanese"},
    {"sv", "Svenska"},
    {"sw", "Swahili"},
    {"ta", "Tamil"},
    {"te", "Telugu"},
    {"tg", "Tajik"},
    {"th", "Thai"},
    {"ti", "Tigrinya"},
    {"tk", "Turkmen"},
    {"tl", "Tagalog"},
    {"tn", "Setswana"},
    {"to", "Tonga"},
    {"tr", "Turkish"},
    {"ts", "Tsonga"},
    {"tt", "Tatar"},
    {"tw", "Twi"},
    {"ug", "Uighur"},
    {"uk", "Ukrainian"},
    {"ur", "Urdu"},
    {"uz", "Uzbek"},
    {"vi", "Vietnamese"},
    {"vo", "Volapuk"},
    {"wo", "Wolof"},
    {"xh", "Xhosa"},
    {"yi", "Yiddish"},
    {"yo", "Yoruba"},
    {"za", "Zhuang"},
    {"zh", "Chinese"},
    {"zu", "Zulu"},
};

int FindVobSubLanguage(std::uint16_t id) {
    for (int i = 0; i < 144; ++i) {
        const char* c = kVobSubLanguages[i].code;
        std::uint16_t code = static_cast<std::uint16_t>((static_cast<unsigned char>(c[0]) << 8) |
                                                        static_cast<unsigned char>(c[1]));
        if (code == id) return i;
    }
    return 0;
}

// ---------------------------------------------------------------------------

CVobSubSettings::CVobSubSettings() { InitSettings(); }

void CVobSubSettings::InitSettings() {
    m_sizeX = 720;
    m_sizeY = 480;
    m_orgX = m_orgY = 0;
    m_scale_x = m_scale_y = 100;
    m_alpha = 100;
    m_iSmooth = 0;
    m_fadein = m_fadeout = 50;
    m_fAlign = false;
    m_alignhor = 1;
    m_alignver = 2;
    m_toff = 0;
    m_fOnlyShowForcedSubs = false;
    std::fill(std::begin(m_orgpal), std::end(m_orgpal), 0u);
    m_fCustomPal = false;
    m_tridx = 0;
    std::fill(std::begin(m_cuspal), std::end(m_cuspal), 0u);
}

// ---------------------------------------------------------------------------

namespace {

constexpr std::size_t kBlock = 2048;

bool IsRegularFile(const QString& path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// base + ext, or base + EXT when only the upper-case name exists (files
// copied from discs often carry upper-case extensions).
QString Companion(const QString& base, const char* ext) {
    QString lower = base + ext;
    if (IsRegularFile(lower)) return lower;
    QString upper = base + QString(ext).toUpper();
    if (IsRegularFile(upper)) return upper;
    return lower;
}

std::uint32_t ReadBE32(const std::vector<std::uint8_t>& d, std::uint64_t at) {
    return (static_cast<std::uint32_t>(d[at]) << 24) | (static_cast<std::uint32_t>(d[at + 1]) << 16) |
           (static_cast<std::uint32_t>(d[at + 2]) << 8) | d[at + 3];
}

// An optional sign, then "h:m:s:ms" with any separators; false unless all
// seven values are there.
bool ParseSignedHms(QString value, std::int64_t& ms) {
    bool negative = value.startsWith('-');
    while (!value.isEmpty() && (value[0] == '+' || value[0] == '-')) value.remove(0, 1);
    int hh, mm, ss, mss;
    QChar c;
    if (ScanText(value, "%d%c%d%c%d%c%d", &hh, &c, &mm, &c, &ss, &c, &mss) != 7) return false;
    ms = TimeToMs(hh, mm, ss, mss) * (negative ? -1 : 1);
    return true;
}

// One PES packet of private stream 1 in the pack at pos: its sub-stream id and
// payload range (after the sub-stream byte). False when there is none.
bool ParseSubPack(const std::vector<std::uint8_t>& d, std::size_t pos, int& substream, std::size_t& payload,
                  std::size_t& payloadEnd) {
    const std::size_t n = d.size();
    if (pos > n || n - pos < 14) return false;
    if (d[pos] != 0 || d[pos + 1] != 0 || d[pos + 2] != 1 || d[pos + 3] != 0xBA) return false;
    std::size_t q;
    if ((d[pos + 4] & 0xC0) == 0x40) q = pos + 14 + (d[pos + 13] & 7);  // MPEG-2 pack header
    else if ((d[pos + 4] & 0xF0) == 0x20) q = pos + 12;                // MPEG-1 pack header
    else return false;
    const std::size_t limit = std::min(n, pos + kBlock);
    for (int guard = 0; guard < 16; ++guard) {
        if (q + 9 > limit) return false;
        if (d[q] != 0 || d[q + 1] != 0 || d[q + 2] != 1) return false;
        int sid = d[q + 3];
        std::size_t len = (static_cast<std::size_t>(d[q + 4]) << 8) | d[q + 5];
        if (sid != 0xBD) {  // system header, padding, ...: skip it
            q += 6 + len;
            continue;
        }
        if ((d[q + 6] & 0xC0) != 0x80) return false;  // MPEG-2 PES header only
        std::size_t start = q + 9 + d[q + 8];
        std::size_t end = q + 6 + len;
        if (end > n || start >= end) return false;
        if ((d[start] & 0xE0) != 0x20) return false;  // subpicture sub-streams 0x20..0x3F
        substream = d[start];
        payload = start + 1;
        payloadEnd = end;
        return true;
    }
    return false;
}

}  // namespace

bool ParseSubPictureControl(const std::uint8_t* spu, std::size_t size, SubPictureInfo& info) {
    info = SubPictureInfo();
    if (!spu || size < 4) return false;
    std::size_t total = (static_cast<std::size_t>(spu[0]) << 8) | spu[1];
    std::size_t ctrl = (static_cast<std::size_t>(spu[2]) << 8) | spu[3];
    total = std::min(total, size);
    if (ctrl < 4 || ctrl >= total) return false;
    std::size_t i = ctrl;
    for (int sequences = 0; sequences < 256; ++sequences) {
        if (i + 4 > total) break;
        std::int64_t date = (static_cast<std::int64_t>(spu[i]) << 8) | spu[i + 1];
        std::size_t next = (static_cast<std::size_t>(spu[i + 2]) << 8) | spu[i + 3];
        std::size_t j = i + 4;
        bool end = false;
        while (!end && j < total) {
            std::uint8_t cmd = spu[j++];
            switch (cmd) {
                case 0x00: info.forced = true; break;
                case 0x01: break;
                case 0x02: info.delay = 1024 * date / 90; break;
                case 0x03:
                case 0x04: j += 2; break;
                case 0x05: j += 6; break;
                case 0x06: j += 4; break;
                default: end = true; break;  // 0xFF ends the sequence; anything else is unknown
            }
        }
        // The last sequence points at itself; the chain only runs forward.
        if (next <= i || next >= total) break;
        i = next;
    }
    return true;
}

// ---------------------------------------------------------------------------

CVobSubFile::CVobSubFile() = default;
CVobSubFile::~CVobSubFile() = default;

void CVobSubFile::Close() {
    InitSettings();
    m_iLang = 0;
    for (SubLang& l : m_langs) l = SubLang();
    m_sub.clear();
    m_sub.shrink_to_fit();
    m_indexVersion = 0;
    m_title.clear();
}

bool CVobSubFile::Open(const QString& path) {
    QString fn = path;
    qsizetype dot = fn.lastIndexOf('.');
    if (dot >= 0 && dot > fn.lastIndexOf('/')) {
        QString ext = fn.mid(dot).toLower();
        if (ext == ".ifo" || ext == ".idx" || ext == ".sub" || ext == ".sst" || ext == ".son" || ext == ".rar")
            fn.truncate(dot);
    }
    Close();
    m_error = SubtitleReadError();
    int ver = 0;
    if (!ReadIdx(Companion(fn, ".idx"), ver)) {
        Close();
        return false;
    }
    m_indexVersion = ver;
    if (ver < 6 && !ReadIfo(Companion(fn, ".ifo"))) {
        Close();
        return false;
    }
    if (!ReadSub(Companion(fn, ".sub")) && !ReadRar(Companion(fn, ".rar"))) {
        Close();
        return false;
    }
    m_title = fn;
    ComputeStopTimes();
    return true;
}

void CVobSubFile::ComputeStopTimes() {
    for (int i = 0; i < 32; ++i) {
        std::vector<SubPos>& sp = m_langs[i].subpos;
        for (std::size_t j = 0; j < sp.size(); ++j) {
            sp[j].stop = sp[j].start;
            sp[j].fValid = false;
            sp[j].fForced = false;
            std::vector<std::uint8_t> packet = GetPacket(i, static_cast<int>(j));
            if (packet.empty()) continue;
            std::int64_t delay = j + 1 < sp.size() ? sp[j + 1].start - sp[j].start : 3000;
            SubPictureInfo info;
            ParseSubPictureControl(packet.data(), packet.size(), info);
            if (info.delay >= 0) delay = j + 1 < sp.size() ? std::min(delay, info.delay) : info.delay;
            delay = std::max<std::int64_t>(delay, 0);
            sp[j].stop = sp[j].start + delay;
            sp[j].fForced = info.forced;
            sp[j].fValid = true;
            if (j > 0 && sp[j - 1].stop > sp[j].start) sp[j - 1].stop = sp[j].start;
        }
    }
}

std::vector<std::uint8_t> CVobSubFile::GetPacket(int iLang, int idx) const {
    std::vector<std::uint8_t> ret;
    if (iLang < 0 || iLang >= 32) return ret;
    const std::vector<SubPos>& sp = m_langs.at(static_cast<std::size_t>(iLang)).subpos;
    if (idx < 0 || static_cast<std::size_t>(idx) >= sp.size()) return ret;
    std::int64_t filepos = sp[static_cast<std::size_t>(idx)].filepos;
    if (filepos < 0 || static_cast<std::uint64_t>(filepos) >= m_sub.size()) return ret;
    std::size_t pos = static_cast<std::size_t>(filepos);

    int substream;
    std::size_t payload, payloadEnd;
    if (!ParseSubPack(m_sub, pos, substream, payload, payloadEnd)) return ret;
    if (payloadEnd - payload < 2) return ret;
    std::size_t total = (static_cast<std::size_t>(m_sub[payload]) << 8) | m_sub[payload + 1];
    if (total < 4) return ret;
    ret.reserve(total);
    std::size_t take = std::min(total, payloadEnd - payload);
    ret.insert(ret.end(), m_sub.begin() + static_cast<std::ptrdiff_t>(payload),
               m_sub.begin() + static_cast<std::ptrdiff_t>(payload + take));
    // The rest follows in later packs of the same sub-stream.
    std::size_t next = pos + kBlock;
    for (int scanned = 0; ret.size() < total && scanned < 4096 && next < m_sub.size(); ++scanned, next += kBlock) {
        int s;
        if (!ParseSubPack(m_sub, next, s, payload, payloadEnd) || s != substream) continue;
        take = std::min(total - ret.size(), payloadEnd - payload);
        ret.insert(ret.end(), m_sub.begin() + static_cast<std::ptrdiff_t>(payload),
                   m_sub.begin() + static_cast<std::ptrdiff_t>(payload + take));
    }
    if (ret.size() != total) ret.clear();
    return ret;
}

bool CVobSubFile::ReadIdx(const QString& fn, int& ver) {
    CWebTextFile f;
    if (!f.Open(fn)) return false;
    bool error = false;
    int id = -1;
    std::int64_t delay = 0;
    int vobid = -1, cellid = -1;
    std::int64_t celltimestamp = 0;
    QString str;
    for (int line = 0; !error && f.ReadLine(str); ++line) {
        str = str.trimmed();
        if (line == 0) {
            static const QString kHeader = "VobSub index file, v";
            qsizetype i = str.indexOf(kHeader);
            if (i < 0 || ScanText(QStringView(str).mid(i + kHeader.size()), "%d", &ver) != 1 || ver > 7) {
                // Told to the user by whoever opened the file.
                m_error.kind = SubtitleReadError::WrongVersion;
                m_error.text = "Wrong file version!";
                error = true;
            }
            continue;
        }
        if (str.isEmpty()) continue;
        if (str[0] == '#') {
            static const QString kCell = "Vob/Cell ID:";
            qsizetype i = str.indexOf(kCell);
            if (i >= 0) {
                int v = -1, c = -1, pts = 0;
                int n = ScanText(QStringView(str).mid(i + kCell.size()), "%d, %d (PTS: %d)", &v, &c, &pts);
                if (n >= 1) vobid = v;
                if (n >= 2) cellid = c;
                if (n >= 3) celltimestamp = pts;
            }
            continue;
        }
        qsizetype colon = str.indexOf(':');
        if (colon <= 0) continue;
        QString entry = str.left(colon).trimmed().toLower();
        str = str.mid(colon + 1).trimmed();
        if (str.isEmpty()) continue;

        if (entry == "size") {
            int x, y;
            if (ScanText(str, "%dx%d", &x, &y) != 2) error = true;
            else m_sizeX = x, m_sizeY = y;
        } else if (entry == "org") {
            int x, y;
            if (ScanText(str, "%d,%d", &x, &y) != 2) error = true;
            else m_orgX = x, m_orgY = y;
        } else if (entry == "scale") {
            if (ver < 5) {
                if (ScanText(str, "%d%%", &m_scale_x) != 1) error = true;
                m_scale_y = m_scale_x;
            } else {
                if (ScanText(str, "%d%%,%d%%", &m_scale_x, &m_scale_y) != 2) error = true;
            }
        } else if (entry == "alpha") {
            if (ScanText(str, "%d", &m_alpha) != 1) error = true;
        } else if (entry == "smooth") {
            str = str.toLower();
            if (str.contains("old") || str.contains("2")) m_iSmooth = 2;
            else if (str.contains("on") || str.contains("1")) m_iSmooth = 1;
            else if (str.contains("off") || str.contains("0")) m_iSmooth = 0;
            else error = true;
        } else if (entry == "fadein/out") {
            if (ScanText(str, "%d,%d", &m_fadein, &m_fadeout) != 2) error = true;
        } else if (entry == "align") {
            const QStringList tokens = str.toLower().split(' ', Qt::SkipEmptyParts);
            int j = 0;
            for (const QString& token : tokens) {
                if (j >= 3 || error) break;
                if (j == 0) {
                    if (token == "on" || token == "1") m_fAlign = true;
                    else if (token == "off" || token == "0") m_fAlign = false;
                    else error = true;
                } else if (j == 1) {
                    if (token == "at") continue;
                    if (token == "left") m_alignhor = 0;
                    else if (token == "center") m_alignhor = 1;
                    else if (token == "right") m_alignhor = 2;
                    else error = true;
                } else {
                    if (token == "top") m_alignver = 0;
                    else if (token == "center") m_alignver = 1;
                    else if (token == "bottom") m_alignver = 2;
                    else error = true;
                }
                ++j;
            }
        } else if (entry == "time offset") {
            bool negative = str.startsWith('-');
            QString v = str;
            while (!v.isEmpty() && (v[0] == '+' || v[0] == '-')) v.remove(0, 1);
            int hh, mm, ss, ms;
            QChar c;
            int n = ScanText(v, "%d%c%d%c%d%c%d", &hh, &c, &mm, &c, &ss, &c, &ms);
            if (n == 1) m_toff = negative ? -hh : hh;
            else if (n == 7) m_toff = ClampToInt(TimeToMs(hh, mm, ss, ms) * (negative ? -1 : 1));
            else error = true;
        } else if (entry == "forced subs") {
            str = str.toLower();
            if (str.contains("on") || str.contains("1")) m_fOnlyShowForcedSubs = true;
            else if (str.contains("off") || str.contains("0")) m_fOnlyShowForcedSubs = false;
            else error = true;
        } else if (entry == "langidx") {
            if (ScanText(str, "%d", &m_iLang) != 1) error = true;
        } else if (entry == "palette") {
            unsigned p[16];
            if (ScanText(str, "%x,%x,%x,%x,%x,%x,%x,%x,%x,%x,%x,%x,%x,%x,%x,%x", &p[0], &p[1], &p[2], &p[3], &p[4],
                         &p[5], &p[6], &p[7], &p[8], &p[9], &p[10], &p[11], &p[12], &p[13], &p[14], &p[15]) != 16)
                error = true;
            else
                for (int k = 0; k < 16; ++k) m_orgpal[k] = p[k];
        } else if (entry == "custom colors") {
            str = str.toLower();
            if (str.startsWith("on") || str.startsWith("1")) m_fCustomPal = true;
            else if (str.startsWith("off") || str.startsWith("0")) m_fCustomPal = false;
            else {
                error = true;
                continue;
            }
            qsizetype i = str.indexOf("tridx:");
            unsigned tridx;
            if (i < 0 || ScanText(QStringView(str).mid(i + 6), "%x", &tridx) != 1) {
                error = true;
                continue;
            }
            m_tridx = static_cast<int>(((tridx & 0x1000) >> 12) | ((tridx & 0x100) >> 7) | ((tridx & 0x10) >> 2) |
                                       ((tridx & 1) << 3));
            i = str.indexOf("colors:");
            unsigned c[4];
            if (i < 0 || ScanText(QStringView(str).mid(i + 7), "%x,%x,%x,%x", &c[0], &c[1], &c[2], &c[3]) != 4) {
                error = true;
                continue;
            }
            for (int k = 0; k < 4; ++k) m_cuspal[k] = c[k];
        } else if (entry == "id") {
            str = str.toLower();
            if (str.size() < 2) {
                error = true;
                continue;
            }
            std::uint16_t langid = static_cast<std::uint16_t>(((str[0].unicode() & 0xFF) << 8) | (str[1].unicode() & 0xFF));
            qsizetype i = str.indexOf("index:");
            int index;
            if (i < 0 || ScanText(QStringView(str).mid(i + 6), "%d", &index) != 1 || index < 0 || index >= 32) {
                error = true;
                continue;
            }
            id = index;
            const VobSubLanguage& row = kVobSubLanguages[FindVobSubLanguage(langid)];
            m_langs.at(id).id = langid;
            m_langs.at(id).name = QString::fromLatin1(row.name);
            m_langs.at(id).alt = QString::fromLatin1(row.name);
            delay = 0;
        } else if (id >= 0 && entry == "alt") {
            m_langs.at(id).alt = str;
        } else if (id >= 0 && entry == "delay") {
            std::int64_t d;
            if (!ParseSignedHms(str, d)) {
                error = true;
                continue;
            }
            delay += d;
        } else if (id >= 0 && entry == "timestamp") {
            SubPos sb;
            sb.vobid = vobid;
            sb.cellid = cellid;
            sb.celltimestamp = celltimestamp;
            sb.fValid = true;
            std::int64_t t;
            if (!ParseSignedHms(str, t)) {
                error = true;
                continue;
            }
            sb.start = t + delay;
            qsizetype i = str.indexOf("filepos:");
            quint64 filepos;
            if (i < 0 || ScanText(QStringView(str).mid(i + 8), "%I64x", &filepos) != 1) {
                error = true;
                continue;
            }
            sb.filepos = static_cast<std::int64_t>(std::min<quint64>(filepos, 0x7FFFFFFFFFFFFFFFull));
            std::vector<SubPos>& list = m_langs.at(id).subpos;
            // With a negative delay, starts never go backwards: the stamp moves
            // up to the previous start and the delay absorbs the difference.
            if (delay < 0 && !list.empty()) {
                std::int64_t previous = list.back().start;
                if (sb.start < previous) {
                    delay += previous - sb.start;
                    sb.start = previous;
                }
            }
            list.push_back(sb);
        } else {
            error = true;  // an unknown key, or alt/delay/timestamp before any id
        }
    }
    return !error;
}

bool CVobSubFile::ReadSub(const QString& fn) {
    FILE* f = std::fopen(QFile::encodeName(fn).constData(), "rb");
    if (!f) return false;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return false;
    }
    m_sub.clear();
    m_sub.reserve(static_cast<std::size_t>(std::min<std::int64_t>(st.st_size, std::int64_t(1) << 30)));
    std::uint8_t block[kBlock];
    for (;;) {
        std::size_t n = std::fread(block, 1, kBlock, f);
        if (n < 4 || block[0] != 0 || block[1] != 0 || block[2] != 1 || block[3] != 0xBA) break;
        m_sub.insert(m_sub.end(), block, block + n);
        if (n < kBlock) break;
    }
    std::fclose(f);
    return true;
}

bool CVobSubFile::ReadRar(const QString& fn) {
    std::vector<std::uint8_t> data;
    if (!ReadFirstSubFromRar(fn, data)) return false;
    m_sub = std::move(data);
    return true;
}

bool CVobSubFile::ReadIfo(const QString& fn) {
    QFile file(fn);
    if (!file.open(QIODevice::ReadOnly)) return false;
    // Information files are small; more than this is no information file.
    if (file.size() > 64 * 1024 * 1024) return false;
    QByteArray bytes = file.readAll();
    std::vector<std::uint8_t> d(bytes.begin(), bytes.end());
    if (d.size() < 0xD0 || std::memcmp(d.data(), "DVDVIDEO-VTS", 12) != 0) return false;
    std::uint64_t pgci = static_cast<std::uint64_t>(ReadBE32(d, 0xCC)) * kBlock;
    if (pgci + 0x10 > d.size()) return false;
    std::uint64_t pgc = pgci + ReadBE32(d, pgci + 0x0C);
    if (pgc + 0xA4 + 64 > d.size()) return false;
    // Sixteen entries of (0, Y, Cr, Cb), turned into RGB.
    for (int i = 0; i < 16; ++i) {
        std::uint64_t at = pgc + 0xA4 + static_cast<std::uint64_t>(i) * 4;
        double y = (static_cast<int>(d[at + 1]) - 16) * 255.0 / 219.0;
        double cr = static_cast<int>(d[at + 2]) - 128;
        double cb = static_cast<int>(d[at + 3]) - 128;
        auto clamp = [](double v) { return static_cast<std::uint32_t>(std::clamp(v, 0.0, 255.0)); };
        std::uint32_t r = clamp(y + 1.402 * cr), g = clamp(y - 0.344136 * cb - 0.714136 * cr), b = clamp(y + 1.772 * cb);
        m_orgpal[i] = (r << 16) | (g << 8) | b;
    }
    return true;
}

// ---------------------------------------------------------------------------
// ISubStream

HRESULT CVobSubFile::GetClassID(CLSID* pClassID) {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_VobSubFile;
    return S_OK;
}

int CVobSubFile::CountStreams() {
    int n = 0;
    for (const SubLang& l : m_langs)
        if (!l.subpos.empty()) ++n;
    return n;
}

HRESULT CVobSubFile::DescribeStream(int iStream, WCHAR** ppName, LCID* pLCID) {
    if (iStream < 0) return E_FAIL;
    for (const SubLang& l : m_langs) {
        if (l.subpos.empty() || iStream-- > 0) continue;
        if (ppName) {
            *ppName = CoTaskMemDupString(reinterpret_cast<const char16_t*>(l.alt.utf16()),
                                         static_cast<std::size_t>(l.alt.size()));
            if (!*ppName) return E_OUTOFMEMORY;
        }
        if (pLCID) *pLCID = 0;
        return S_OK;
    }
    return E_FAIL;
}

int CVobSubFile::GetStream() {
    int n = 0;
    for (int i = 0; i < std::min(m_iLang, 32); ++i)
        if (!m_langs[i].subpos.empty()) ++n;
    return n;
}

HRESULT CVobSubFile::SelectStream(int iStream) {
    if (iStream < 0) return E_FAIL;
    for (int i = 0; i < 32; ++i) {
        if (m_langs[i].subpos.empty() || iStream-- > 0) continue;
        m_iLang = i;
        return S_OK;
    }
    return E_FAIL;
}

}  // namespace kalvex
