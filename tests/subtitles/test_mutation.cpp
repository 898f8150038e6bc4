// Mutation test: thousands of randomly damaged copies of every sample file
// (deterministic seed) go through every text reader, the whole text
// subtitle opening and the VobSub reader. Built with AddressSanitizer and
// UndefinedBehaviorSanitizer, so any read past a buffer or undefined
// arithmetic fails the run.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <random>

#include "common/ui/Dialogs.h"
#include "subtitles/RTS.h"
#include "subtitles/VobSubFile.h"
#include "samples/SubtitleSamples.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;

namespace {

constexpr int kCopies = 2000;

const char* const kTokens[] = {"\n", "\r\n", "{", "}", "[", "]", "<", ">", ":", ",", "-", "|", "=", "%",
                               "99999999999", "-2147483648", "0", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF",
                               "\xE2\x82", "-->", "<SYNC Start=", "Dialogue: ", "Style: ", "[Events]",
                               "{\\", "&H", "index: ", "timestamp: ", "filepos: ", "id: ", "\x00\x00\x01\xBA"};

std::string Mutate(const std::string& in, std::mt19937& rng) {
    std::string s = in;
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 7) {
            case 0:  // flip a byte
                if (!s.empty()) s[pos % s.size()] = static_cast<char>(rng());
                break;
            case 1:  // insert random bytes
                s.insert(pos, std::string(1 + rng() % 4, static_cast<char>(rng())));
                break;
            case 2: {  // delete a range
                size_t n = rng() % 32;
                if (pos < s.size()) s.erase(pos, n);
                break;
            }
            case 3: {  // duplicate a range
                if (s.empty()) break;
                size_t from = rng() % s.size(), n = std::min<size_t>(rng() % 256, s.size() - from);
                s.insert(pos, s.substr(from, n));
                break;
            }
            case 4:  // truncate
                s.resize(pos);
                break;
            case 5: {  // an interesting token
                const char* t = kTokens[rng() % (sizeof kTokens / sizeof *kTokens)];
                s.insert(pos, std::string(t, t[0] == 0 ? 4 : strlen(t)));
                break;
            }
            default:  // a digit run
                s.insert(pos, std::string(1 + rng() % 12, static_cast<char>('0' + rng() % 10)));
                break;
        }
    }
    return s;
}

QString Save(const std::string& name, const std::string& bytes) {
    std::string path = test::TestRoot() + "/" + name;
    test::WriteFile(path, bytes);
    return QString::fromStdString(path);
}

using Reader = bool (*)(CTextFile*, CSimpleTextSubtitle&, int);
const Reader kReaders[] = {sts::OpenSubRipper, sts::OpenOldSubRipper, sts::OpenSubViewer, sts::OpenMicroDVD,
                           sts::OpenSami,      sts::OpenVPlayer,      sts::OpenSubStationAlpha, sts::OpenXombieSub,
                           sts::OpenUSF,       sts::OpenMPL2};

void ExerciseText(const QString& path) {
    CTextFile f;
    if (!f.Open(path)) return;
    for (Reader reader : kReaders) {
        f.Seek(0);  // every reader starts at the beginning, as in the real recognition
        CSimpleTextSubtitle s;
        reader(&f, s, DEFAULT_CHARSET);
        for (const STSEntry& e : s.Entries()) (void)e.str.size();
    }
    CRenderedTextSubtitle rts;
    if (rts.Open(path, DEFAULT_CHARSET)) {
        (void)rts.Segments();
        WCHAR* name = nullptr;
        if (rts.DescribeStream(0, &name, nullptr) == S_OK) CoTaskMemFree(name);
    }
}

void ExerciseVobSub(const QString& path) {
    CVobSubFile vob;
    if (!vob.Open(path)) return;
    int n = vob.CountStreams();
    for (int i = -1; i <= n; ++i) {
        WCHAR* name = nullptr;
        if (vob.DescribeStream(i, &name, nullptr) == S_OK) CoTaskMemFree(name);
        vob.SelectStream(i);
        vob.GetStream();
    }
    for (int l = 0; l < 32; ++l)
        for (size_t j = 0; j < vob.m_langs[l].subpos.size() && j < 64; ++j) (void)vob.GetPacket(l, static_cast<int>(j));
}

}  // namespace

TEST(Mutation, TextSamplesThroughEveryReader) {
    SetMessageBoxHook([](const MessageBoxRequest&) { return IDCANCEL; });
    QDir data(KALVEX_SOURCE_DIR "/tests/data/subtitles");
    const QStringList files = data.entryList(QDir::Files);
    ASSERT_GE(files.size(), 11);
    std::mt19937 rng(20240607);
    for (const QString& file : files) {
        std::string original = test::ReadFile(data.filePath(file).toStdString());
        ASSERT_FALSE(original.empty()) << file.toStdString();
        for (int i = 0; i < kCopies; ++i) {
            // The mutated copy keeps the sample's name, so its companion rules apply too.
            QString path = Save(file.toStdString(), Mutate(original, rng));
            ExerciseText(path);
        }
    }
}

TEST(Mutation, VobSubIndexPicturesAndArchive) {
    SetMessageBoxHook([](const MessageBoxRequest&) { return IDOK; });
    std::vector<std::uint8_t> sub;
    std::string idx = std::string(samples::kIdxHeader) + "# Vob/Cell ID: 1, 1 (PTS: 0)\nid: en, index: 0\n";
    for (int i = 0; i < 4; ++i)
        idx += samples::TimestampLine(1000 * i, samples::AppendSpuPacks(sub, 0, samples::MakeSpu(45 * i, i == 2, 900 * i)));
    idx += "id: de, index: 3\nalt: Deutsch (forced)\ndelay: -00:00:00:500\n";
    for (int i = 0; i < 3; ++i)
        idx += samples::TimestampLine(800 * i, samples::AppendSpuPacks(sub, 3, samples::MakeSpu(30, false, 3000)));
    const std::string subBytes(sub.begin(), sub.end());
    std::vector<std::uint8_t> rar = samples::MakeRar4Stored({{"movie.sub", sub}});
    const std::string rarBytes(rar.begin(), rar.end());

    std::mt19937 rng(424242);
    for (int i = 0; i < kCopies; ++i) {
        // Damaged index with intact pictures.
        Save("movie.idx", Mutate(idx, rng));
        Save("movie.sub", subBytes);
        ExerciseVobSub(Save("movie.idx", test::ReadFile(test::TestRoot() + "/movie.idx")));
        // Intact index with damaged pictures.
        Save("movie.idx", idx);
        ExerciseVobSub(Save("movie.sub", Mutate(subBytes, rng)));
        // Only a damaged archive.
        QFile::remove(QString::fromStdString(test::TestRoot() + "/movie.sub"));
        Save("movie.rar", Mutate(rarBytes, rng));
        ExerciseVobSub(QString::fromStdString(test::TestRoot() + "/movie.rar"));
        QFile::remove(QString::fromStdString(test::TestRoot() + "/movie.rar"));
    }
}
