// The installed tree: `cmake --install` into a temporary prefix, then the
// programs run from there, with no help from the build tree.
#include <gtest/gtest.h>

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <map>
#include <memory>

#include "media/page/CAddFilePage.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

class InstalledTree : public testing::Test {
protected:
    // One install per test program: installed into one folder, then the
    // whole tree is moved elsewhere, so nothing may depend on the prefix it
    // was installed with.
    static void SetUpTestSuite() {
        dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/kalvex-install-XXXXXX");
        const QString staged = dir_->path() + "/staged";
        installRc_ = RunProgram(KALVEX_CMAKE_COMMAND, {"--install", KALVEX_BUILD_DIR, "--prefix", staged},
                                &installOut_, 300000);
        prefix_ = dir_->path() + "/moved";
        if (installRc_ == 0 && !QDir().rename(staged, prefix_)) installOut_ += "\ncould not move the tree";
    }
    static void TearDownTestSuite() { dir_.reset(); }

    void SetUp() override { ASSERT_EQ(installRc_, 0) << installOut_.toStdString(); }

    static QString P(const QString& rel) { return prefix_ + "/" + rel; }

    static std::unique_ptr<QTemporaryDir> dir_;
    static int installRc_;
    static QString installOut_;
    static QString prefix_;
};
std::unique_ptr<QTemporaryDir> InstalledTree::dir_;
int InstalledTree::installRc_ = -1;
QString InstalledTree::installOut_;
QString InstalledTree::prefix_;

// Keys of the [Desktop Entry] group.
std::map<QString, QString> DesktopEntry(const QString& path) {
    std::map<QString, QString> keys;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return keys;
    bool inGroup = false;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (inGroup && eq > 0) keys[line.left(eq)] = line.mid(eq + 1);
    }
    return keys;
}

}  // namespace

TEST_F(InstalledTree, HoldsProgramsModulesAndDesktopFiles) {
    for (const char* program : {"bin/Kalvex", "bin/Dravel", "bin/kalvex-regedit"}) {
        QFileInfo info(P(program));
        EXPECT_TRUE(info.isFile() && info.isExecutable()) << program;
    }
    for (const char* file : {"lib/kalvex/plugins/DirectShowSource.so", "lib/kalvex/ac3filter.so", "lib/kalvex/libGrindel.so",
                             "lib/kalvex/ac3filter.reg", "share/applications/kalvex.desktop",
                             "share/icons/hicolor/scalable/apps/kalvex.svg",
                             "share/metainfo/net.tesmora.Kalvex.metainfo.xml"})
        EXPECT_TRUE(QFileInfo(P(file)).isFile()) << file;
    // Nothing but the programs in bin/: modules and data stay private.
    EXPECT_EQ(QDir(P("bin")).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
              (QStringList{"Dravel", "Kalvex", "kalvex-regedit"}));

    // The installed importer merges the installed AC3Filter preset into the
    // registry store, as the window's first start has it do.
    QString out;
    ASSERT_EQ(RunProgram(P("bin/kalvex-regedit"), {"/s", P("lib/kalvex/ac3filter.reg")}, &out), 0) << out.toStdString();
    const std::string store = ReadFile(TestRoot() + "/registry/HKCU.reg");
    EXPECT_NE(store.find("Harnick\\AC3Filter\\preset\\Default"), std::string::npos) << store;
}

TEST_F(InstalledTree, KalvexExaminesAClipFromItsPrefix) {
    // 160x120 pixels, each 4/3 as wide as high, show 16:9: an aspect ratio
    // only the DirectShowSource plug-in reports, so it was found in lib/kalvex/.
    const QString clip = MakeMedia("wide.mkv", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1",
                                                "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=1",
                                                "-vf", "setsar=4/3", "-pix_fmt", "yuv420p", "-c:v", "libx264"});
    ASSERT_FALSE(clip.isEmpty());
    QString out;
    ASSERT_EQ(RunProgram(P("bin/Kalvex"), {"--examine", clip}, &out), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("Information For: ")) << out.toStdString();
    EXPECT_TRUE(out.contains("Resolution: 160x120(DAR:16x9)\n")) << out.toStdString();
    EXPECT_TRUE(out.contains("Frames Per Sec: 25.000 FPS\n")) << out.toStdString();

    // A refused file still ends with the refusal, not a crash.
    ASSERT_EQ(RunProgram(P("bin/Kalvex"), {"--examine", TestPath("missing.avi")}, &out), 1) << out.toStdString();
    EXPECT_TRUE(out.contains("missing.avi")) << out.toStdString();
}

TEST_F(InstalledTree, DesktopEntryOpensEveryTypeTheFileDialogAccepts) {
    auto keys = DesktopEntry(P("share/applications/kalvex.desktop"));
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys["Type"], "Application");
    EXPECT_EQ(keys["Name"], "Kalvex");
    EXPECT_EQ(keys["Exec"], "Kalvex %F");
    EXPECT_EQ(keys["Categories"], "AudioVideo;Video;AudioVideoEditing;");
    EXPECT_EQ(keys["Terminal"], "false");
    // The icon name resolves to the installed scalable icon.
    EXPECT_EQ(keys["Icon"], "kalvex");
    QFile icon(P("share/icons/hicolor/scalable/apps/kalvex.svg"));
    ASSERT_TRUE(icon.open(QIODevice::ReadOnly));
    QDomDocument svg;
    ASSERT_TRUE(svg.setContent(&icon));
    EXPECT_EQ(svg.documentElement().tagName(), "svg");
    EXPECT_FALSE(svg.documentElement().attribute("viewBox").isEmpty());

    // Every extension of the file dialog's filter maps to a listed type.
    const QStringList listed = keys["MimeType"].split(';', Qt::SkipEmptyParts);
    ASSERT_TRUE(keys["MimeType"].endsWith(';'));
    QMimeDatabase db;
    const QString filter = QString::fromLatin1(CAddFilePage::kVideoFilter).section(";;", 0, 0);
    auto globs = QRegularExpression(R"(\*\.(\w+))").globalMatch(filter);
    int known = 0, extensions = 0;
    while (globs.hasNext()) {
        const QString ext = globs.next().captured(1);
        ++extensions;
        const QList<QMimeType> types = db.mimeTypesForFileName("clip." + ext);
        if (types.isEmpty()) continue;  // a type the desktop does not know (.hdmov)
        ++known;
        bool covered = false;
        for (const QMimeType& t : types) {
            if (listed.contains(t.name())) covered = true;
            for (const QString& alias : t.aliases()) covered = covered || listed.contains(alias);
        }
        EXPECT_TRUE(covered) << "*." << ext.toStdString();
    }
    EXPECT_EQ(extensions, 26);
    EXPECT_GE(known, 25);
}

TEST_F(InstalledTree, MetainfoValidatesAndNamesTheDesktopEntry) {
    const QString metainfo = P("share/metainfo/net.tesmora.Kalvex.metainfo.xml");
    QFile f(metainfo);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QDomDocument doc;
    ASSERT_TRUE(doc.setContent(&f));
    EXPECT_EQ(doc.documentElement().firstChildElement("launchable").text(), "kalvex.desktop");
    EXPECT_EQ(doc.documentElement().firstChildElement("releases").firstChildElement("release").attribute("version"),
              QStringLiteral(KALVEX_VERSION));

    const QString appstreamcli = QStandardPaths::findExecutable("appstreamcli");
    if (appstreamcli.isEmpty()) GTEST_SKIP() << "appstreamcli is not installed";
    QString out;
    EXPECT_EQ(RunProgram(appstreamcli, {"validate", "--no-net", metainfo}, &out), 0) << out.toStdString();
}
