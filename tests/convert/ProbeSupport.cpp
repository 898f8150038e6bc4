#include "tests/convert/ProbeSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <QJsonArray>
#include <QJsonDocument>

#include "common/AppSettings.h"
#include "media/EntryFromPath.h"
#include "tests/support/TestEnv.h"

namespace kalvex::test {

Probe ProbeFile(const QString& path) {
    Probe p;
    QString out;
    int code = RunProgram("ffprobe", {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", "-count_frames", path},
                          &out);
    if (code != 0) return p;
    const QJsonObject root = QJsonDocument::fromJson(out.toUtf8()).object();
    p.format = root.value("format").toObject();
    for (const QJsonValue& v : root.value("streams").toArray()) {
        QJsonObject s = v.toObject();
        if (s.value("codec_type") == "video" && p.video.isEmpty()) p.video = s;
        if (s.value("codec_type") == "audio" && p.audio.isEmpty()) p.audio = s;
    }
    p.ok = !p.format.isEmpty();
    return p;
}

QStringList PictureTypes(const QString& path) {
    QString out;
    RunProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pict_type", "-of", "csv=p=0", path},
               &out);
    QStringList types;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) types << line.trimmed();
    return types;
}

int LongestRunAfterAKey(const QStringList& types) {
    int run = 0, longest = 0;
    for (const QString& t : types) {
        run = t == "I" ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    return longest;
}

void ExpectDefaultPspFile(const QString& path, int frames, int keyEvery) {
    Probe p = ProbeFile(path);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.format.value("format_name").toString().contains("mp4"));
    EXPECT_EQ(p.video.value("codec_name").toString(), "mpeg4");
    EXPECT_EQ(p.video.value("profile").toString(), "Simple Profile");
    EXPECT_EQ(p.video.value("has_b_frames").toInt(), 0);
    EXPECT_EQ(p.video.value("width").toInt(), 368);
    EXPECT_EQ(p.video.value("height").toInt(), 208);
    EXPECT_EQ(p.video.value("r_frame_rate").toString(), "25/1");
    EXPECT_EQ(p.video.value("nb_read_frames").toString(), QString::number(frames));
    // BT.601 limited-range numbers, and the stream says so.
    EXPECT_EQ(p.video.value("color_range").toString(), "tv");
    EXPECT_EQ(p.video.value("color_space").toString(), "smpte170m");
    EXPECT_EQ(p.video.value("color_primaries").toString(), "smpte170m");
    EXPECT_EQ(p.video.value("color_transfer").toString(), "smpte170m");
    EXPECT_EQ(p.audio.value("codec_name").toString(), "aac");
    EXPECT_EQ(p.audio.value("profile").toString(), "LC");
    EXPECT_EQ(p.audio.value("sample_rate").toString(), "24000");
    EXPECT_EQ(p.audio.value("channels").toInt(), 2);
    const QStringList types = PictureTypes(path);
    ASSERT_EQ(types.size(), frames);
    EXPECT_FALSE(types.contains("B"));
    EXPECT_LT(LongestRunAfterAKey(types), keyEvery);
}

VideoFileEntry ExaminedEntry(const QString& path) {
    VideoFileEntry e;
    SourceRefusal refusal;
    EXPECT_TRUE(MakeEntryFromPath(path.toStdString(), e, refusal)) << RefusalText(refusal);
    return e;
}

EncodeRequest RequestFromSettings(const VideoFileEntry& e, const QString& out) {
    EncodeRequest r;
    r.entry = e;
    r.outputPath = out.toStdString();
    r.videoBitrate = AppSettings.convert.videoBitrate * 1000;
    r.audioBitrate = AppSettings.convert.audioBitrate * 1000;
    r.settings = AppSettings.convert;
    return r;
}

}  // namespace kalvex::test
