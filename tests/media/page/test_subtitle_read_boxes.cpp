// What the subtitle readers tell the user: the readers only hand back a
// reason or ask a question; the page shows the boxes (answered here through
// the message-box seam), the script engine shows nothing and puts the reason
// into its error, and linking hands the reason on.
#include <gtest/gtest.h>

#include <QDir>
#include <cstring>
#include <memory>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/SubtitleLinker.h"
#include "media/page/CAddFilePage.h"
#include "engine/AviSynth.h"
#include "subtitles/engine/SubtitleFilters.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "samples/SubtitleSamples.h"
#include "tests/support/Media.h"
#include "tests/support/PageFakes.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

// MicroDVD with two good entries, then a line that is none (line 4).
const char* const kBadSub = "{1}{2}one\n\n{3}{4}two\nthis is not MicroDVD\n{5}{6}three\n";
const char* const kSyntaxText = "Syntax error at line 4!\t";
// An index of a version the reader does not know.
const char* const kNewerIdx = "# VobSub index file, v8\nid: en, index: 0\n";

// Three entries whose styles no style line defines, and one that is Default.
std::string UnknownStyles(const char* first = "Nope") {
    return std::string("[Script Info]\nScriptType: v4.00+\n[Events]\n") + "Dialogue: 0,0:00:01.00,0:00:02.00," +
           first +
           ",,0,0,0,,a\n"
           "Dialogue: 0,0:00:02.00,0:00:03.00,Other,,0,0,0,,b\n"
           "Dialogue: 0,0:00:03.00,0:00:04.00,Third,,0,0,0,,c\n"
           "Dialogue: 0,0:00:04.00,0:00:05.00,default,,0,0,0,,d\n";
}

QString WarningText(const QString& style) {
    return "Unknown style found: \"" + style + "\", changed to \"Default\"!\n\nPress Cancel to ignore further warnings.";
}

std::string Folder() { return test::TestRoot() + "/v/"; }
void Put(const std::string& name, const std::string& bytes) {
    QDir().mkpath(QString::fromStdString(Folder()));
    test::WriteFile(Folder() + name, bytes);
}

class SubtitleReadBoxesTest : public testing::Test {
protected:
    void SetUp() override {
        SetSettingsPath(AppDataFolder() + "set.ini");
        SetHintDialogHook([](const QString&, const QString&) { return true; });
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            // The unknown-style warning gets the answer the test chose.
            return r.caption == "Warning" ? warningAnswer : IDOK;
        });
        SetOpenFileDialogHook([this](const FileDialogRequest&) { return chosen; });
    }
    void TearDown() override {
        page.reset();
        SetHintDialogHook(nullptr);
        SetMessageBoxHook(nullptr);
        SetOpenFileDialogHook(nullptr);
    }

    // A page whose examination accepts every file.
    CAddFilePage& MakePage() {
        page = std::make_unique<CAddFilePage>();
        page->SetExaminer(test::ExamineAsShortClip);
        return *page;
    }
    // Load Subtitle for the first entry with the file chosen in the dialog.
    void LoadSubtitle(const std::string& name) {
        page->SelectRows({0});
        chosen = {QString::fromStdString(Folder() + name)};
        page->LoadSubtitle();
    }
    std::vector<QString> Texts() const {
        std::vector<QString> out;
        for (const auto& b : boxes) out.push_back(b.text);
        return out;
    }

    std::vector<MessageBoxRequest> boxes;
    int warningAnswer = IDOK;
    QStringList chosen;
    std::unique_ptr<CAddFilePage> page;
};

TEST_F(SubtitleReadBoxesTest, LoadSubtitleShowsTheSyntaxErrorThenTheFailure) {
    Put("Movie.avi", "x");
    Put("bad.sub", kBadSub);
    MakePage();
    ASSERT_TRUE(page->AddFile(QString::fromStdString(Folder() + "Movie.avi")));
    ASSERT_TRUE(boxes.empty());
    LoadSubtitle("bad.sub");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, kSyntaxText);
    EXPECT_EQ(boxes[0].caption, "Tesmora.NET Video Converter For PSP");
    EXPECT_EQ(boxes[0].flags, unsigned(MB_OK | MB_ICONERROR));
    EXPECT_EQ(boxes[1].text, "Load subtitle failed.");
    EXPECT_EQ(page->Entry(0).subtitleCount, 0);
}

TEST_F(SubtitleReadBoxesTest, LoadSubtitleShowsTheWrongIndexVersion) {
    Put("Movie.avi", "x");
    Put("old.idx", kNewerIdx);
    Put("old.sub", "");
    MakePage();
    ASSERT_TRUE(page->AddFile(QString::fromStdString(Folder() + "Movie.avi")));
    LoadSubtitle("old.idx");
    // The text reader, tried next, refuses the index silently.
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Wrong file version!");
    EXPECT_EQ(boxes[0].caption, "Tesmora.NET Video Converter For PSP");
    EXPECT_EQ(boxes[0].flags, unsigned(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(boxes[1].text, "Load subtitle failed.");

    // Version 7 is the newest the reader knows: no box, the pair links.
    boxes.clear();
    std::vector<std::uint8_t> sub;
    const std::uint64_t pos = samples::AppendSpuPacks(sub, 0, samples::MakeSpu(88, false));
    Put("new.idx", std::string(samples::kIdxHeader) + "id: en, index: 0\n" + samples::TimestampLine(1000, pos));
    Put("new.sub", std::string(sub.begin(), sub.end()));
    LoadSubtitle("new.idx");
    EXPECT_TRUE(boxes.empty()) << boxes[0].text.toStdString();
    EXPECT_EQ(page->Entry(0).subtitleCount, 1);
}

TEST_F(SubtitleReadBoxesTest, UnknownStylesWarnWhileOkIsPressed) {
    Put("Movie.avi", "x");
    Put("Movie.ass", UnknownStyles());
    MakePage();
    warningAnswer = IDOK;
    ASSERT_TRUE(page->AddFile(QString::fromStdString(Folder() + "Movie.avi")));
    // One box per unknown entry; "default" is Default.
    EXPECT_EQ(Texts(), (std::vector<QString>{WarningText("Nope"), WarningText("Other"), WarningText("Third")}));
    for (const auto& b : boxes) {
        EXPECT_EQ(b.caption, "Warning");
        EXPECT_EQ(b.flags, unsigned(MB_OKCANCEL | MB_ICONWARNING));
    }
    // The subtitle is linked all the same.
    EXPECT_EQ(page->Entry(0).subtitleCount, 1);
}

TEST_F(SubtitleReadBoxesTest, CancelStopsTheWarningsForTheRestOfTheFileOnly) {
    Put("Movie.avi", "x");
    Put("Movie.ass", UnknownStyles("First"));
    Put("Movie.en.ass", UnknownStyles("Second"));
    MakePage();
    warningAnswer = IDCANCEL;
    ASSERT_TRUE(page->AddFile(QString::fromStdString(Folder() + "Movie.avi")));
    // Each file warns once: Cancel ends its own warnings, not the next file's.
    EXPECT_EQ(Texts(), (std::vector<QString>{WarningText("First"), WarningText("Second")}));
    EXPECT_EQ(page->Entry(0).subtitleCount, 2);

    // Auto Load reads them again and warns again.
    boxes.clear();
    page->AutoLoadSubtitles();
    EXPECT_EQ(Texts(), (std::vector<QString>{WarningText("First"), WarningText("Second")}));
}

TEST(SubtitleReadReasons, LinkingHandsTheReasonOn) {
    Put("bad.sub", kBadSub);
    Put("old.idx", kNewerIdx);
    Put("old.sub", "");
    Put("styles.ass", UnknownStyles());
    int shown = 0;
    SetMessageBoxHook([&shown](const MessageBoxRequest&) { return ++shown, IDOK; });

    // With a report: the reasons in the order the readers were tried.
    std::vector<std::pair<std::string, QString>> failed, asked;
    SubtitleReadReport report;
    report.failed = [&](const std::string& path, const SubtitleReadError& e) { failed.push_back({path, e.text}); };
    report.unknownStyle = [&](const std::string& path, const QString& style) {
        asked.push_back({path, style});
        return true;
    };
    SubtitleLinker linker;
    linker.SetReport(report);
    linker.SetCandidates({Folder() + "bad.sub", Folder() + "old.idx", Folder() + "styles.ass"});
    VideoFileEntry e = ZeroEntry();
    EXPECT_EQ(linker.LinkSubtitles(e), 1);
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0], std::make_pair(Folder() + "bad.sub", QString(kSyntaxText)));
    EXPECT_EQ(failed[1], std::make_pair(Folder() + "old.idx", QString("Wrong file version!")));
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0], std::make_pair(Folder() + "styles.ass", QString("Nope")));

    // The command line's single subtitle: the reader's reason is the reason.
    std::string reason;
    EXPECT_FALSE(LinkSubtitleFile(e, Folder() + "bad.sub", 0, &reason));
    EXPECT_EQ(reason, "no subtitle reader accepts " + Folder() + "bad.sub: Syntax error at line 4!");
    EXPECT_FALSE(LinkSubtitleFile(e, Folder() + "old.idx", 0, &reason));
    EXPECT_EQ(reason, "no subtitle reader accepts " + Folder() + "old.idx: Wrong file version!");
    // Without a report nothing is asked or shown, and the links are the same.
    VideoFileEntry f = ZeroEntry();
    SetFieldText(f.fullPath, Folder() + "styles.avi");
    EXPECT_TRUE(LinkSubtitleFile(f, Folder() + "styles.ass", 0, &reason)) << reason;
    EXPECT_EQ(shown, 0);
    SetMessageBoxHook(nullptr);
}

TEST(SubtitleReadReasons, TheScriptEngineShowsNothingAndNamesTheReason) {
    const QString clip = test::MakeClip("clip.mkv", 1.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    Put("bad.sub", kBadSub);
    Put("old.idx", kNewerIdx);
    Put("old.sub", "");
    Put("styles.ass", UnknownStyles());
    int shown = 0;
    SetMessageBoxHook([&shown](const MessageBoxRequest&) { return ++shown, IDOK; });
    RegisterSubtitleFilters();  // the scripts burn subtitles in
    MyAVIFileInit();
    auto open = [&](const std::string& line) {
        const std::string script = Folder() + "s.avs";
        test::WriteFile(script, "DirectShowSource(\"" + clip.toStdString() + "\")\nConvertToYV12()\n" + line + "\n");
        std::string error;
        if (MyAVIFileOpen(script.c_str()) != 0) return std::string("not opened");
        const char* text = nullptr;
        if (MyAVIFileGetError(&text) && text) error = text;
        return error;
    };
    // Unknown styles: drawn with Default, nothing asked.
    EXPECT_EQ(open("TextSub(\"" + Folder() + "styles.ass\")"), "");
    const std::string syntax = open("TextSub(\"" + Folder() + "bad.sub\")");
    EXPECT_NE(syntax.find("TextSub: cannot read the subtitle file"), std::string::npos) << syntax;
    EXPECT_NE(syntax.find("Syntax error at line 4!"), std::string::npos) << syntax;
    const std::string version = open("VobSub(\"" + Folder() + "old.sub\", 0)");
    EXPECT_NE(version.find("Wrong file version!"), std::string::npos) << version;
    EXPECT_EQ(shown, 0);
    MyAVIFileExit();
    SetMessageBoxHook(nullptr);
}

}  // namespace
}  // namespace kalvex
