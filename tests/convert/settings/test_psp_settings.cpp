// "Convert Setting": what it shows for given settings, what it refuses and
// in which order, and what OK, Apply, Default and Cancel leave in the
// settings record and in set.ini.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "common/AppSettings.h"
#include "convert/settings/CPspSettingDlg.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "resources/resource.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::ReadFile;
using test::TestRoot;

ConvertSettings Settings(int x, double fps, int resample = 24000, int video = 400, int audio = 96) {
    ConvertSettings s;
    s.width = x;
    s.height = x == 320 ? 240 : 208;
    s.fps = fps;
    s.audioResample = resample;
    s.videoBitrate = video;
    s.audioBitrate = audio;
    return s;
}

TEST(PspSettingForm, OpeningSelectsTheListItemsOfTheSettings) {
    auto f = PspSettingForm::FromSettings(Settings(368, 29.97));
    EXPECT_EQ(f.resolutionIndex, 1);
    EXPECT_EQ(f.frameRateIndex, 7);
    EXPECT_FALSE(f.setByValue);
    EXPECT_EQ(f.customFrameRate, "");
    EXPECT_EQ(f.sampleRateIndex, 0);
    EXPECT_EQ(f.videoBitrate, "400");
    EXPECT_EQ(f.audioBitrate, "96");

    f = PspSettingForm::FromSettings(Settings(320, 23.976, 48000, 768, 192));
    EXPECT_EQ(f.resolutionIndex, 0);
    EXPECT_EQ(f.frameRateIndex, 0);
    EXPECT_TRUE(f.setByValue);
    EXPECT_EQ(f.customFrameRate, "23.976000");
    EXPECT_EQ(f.sampleRateIndex, 1);
    EXPECT_EQ(f.videoBitrate, "768");
    EXPECT_EQ(f.audioBitrate, "192");

    EXPECT_EQ(PspSettingForm::FromSettings(Settings(720, 0)).resolutionIndex, -1);
    EXPECT_EQ(PspSettingForm::FromSettings(Settings(480, 0)).resolutionIndex, 1);
    EXPECT_EQ(PspSettingForm::FromSettings(Settings(368, 0)).frameRateIndex, 0);
    EXPECT_EQ(PspSettingForm::FromSettings(Settings(368, 60)).frameRateIndex, 9);
    EXPECT_EQ(PspSettingForm::FromSettings(Settings(368, 24.975)).frameRateIndex, 5);  // within 0.01 of 24.97
    EXPECT_TRUE(PspSettingForm::FromSettings(Settings(368, 24.985)).setByValue);
    for (int rate : {0, 22050, 48000, 44100}) EXPECT_EQ(PspSettingForm::FromSettings(Settings(368, 0, rate)).sampleRateIndex, 1);
}

std::optional<QString> Check(const QString& fps, const QString& video, const QString& audio) {
    PspSettingForm f = PspSettingForm::Defaults();
    f.customFrameRate = fps;
    f.videoBitrate = video;
    f.audioBitrate = audio;
    auto e = f.Validate();
    if (!e) return std::nullopt;
    return e->message;
}

TEST(PspSettingForm, ValidationMessagesInTheirOrder) {
    EXPECT_EQ(Check("29,97", "abc", "x"), "Please enter only numbers to custom frame rate.");
    EXPECT_EQ(Check("-1", "400", "96"), "Please enter only numbers to custom frame rate.");
    EXPECT_EQ(Check("29.97.1", "4OO", "x"), "Please enter only numbers to video bit rate.");
    EXPECT_EQ(Check("", "400 ", "96"), "Please enter only numbers to video bit rate.");
    EXPECT_EQ(Check("", "9999", "9a"), "Please enter only numbers to audio bit rate.");
    EXPECT_EQ(Check("", "199", "9999"), "Video bit rate out of range, valid is 200 to 2000.");
    EXPECT_EQ(Check("", "2001", "96"), "Video bit rate out of range, valid is 200 to 2000.");
    EXPECT_EQ(Check("", "", "96"), "Video bit rate out of range, valid is 200 to 2000.");
    EXPECT_EQ(Check("", "99999999999999", "96"), "Video bit rate out of range, valid is 200 to 2000.");
    EXPECT_EQ(Check("", "200", "31"), "Audio bit rate out of range, valid is 32 to 320.");
    EXPECT_EQ(Check("", "2000", "321"), "Audio bit rate out of range, valid is 32 to 320.");
    EXPECT_EQ(Check("", "200", "32"), std::nullopt);
    EXPECT_EQ(Check("29.97.1", "2000.9", "320"), std::nullopt);  // 2000.9 reads as 2000
}

TEST(PspSettingForm, TakingTheValuesOver) {
    ConvertSettings s = Settings(720, 25, 0, 1000, 128);
    std::strcpy(s.format, "mp4");
    s.height = 480;
    PspSettingForm f = PspSettingForm::FromSettings(s);
    f.setByValue = true;
    f.customFrameRate = "29.97.1";
    f.videoBitrate = "450.7";
    f.TakeOver(s);
    EXPECT_EQ(s.width, 720);  // no resolution selected: unchanged
    EXPECT_EQ(s.height, 480);
    EXPECT_DOUBLE_EQ(s.fps, 29.97);
    EXPECT_EQ(s.audioResample, 48000);
    EXPECT_EQ(s.videoBitrate, 450);
    EXPECT_EQ(s.audioBitrate, 128);
    EXPECT_STREQ(s.format, "mp4");

    f.customFrameRate = "";
    f.TakeOver(s);
    EXPECT_EQ(s.fps, 0);
    f.setByValue = false;
    f.customFrameRate = "12";
    f.frameRateIndex = 5;
    f.resolutionIndex = 0;
    f.sampleRateIndex = 0;
    f.TakeOver(s);
    EXPECT_DOUBLE_EQ(s.fps, 24.97);
    EXPECT_EQ(s.width, 320);
    EXPECT_EQ(s.height, 240);
    EXPECT_EQ(s.audioResample, 24000);
}

class PspSettingDlgTest : public testing::Test {
protected:
    void SetUp() override {
        SetSettingsPath(TestRoot() + "/set.ini");
        AppSettings.convert = ConvertSettings{};
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes_.push_back(r.caption + "|" + r.text);
            return IDOK;
        });
    }
    std::string Ini() const { return ReadFile(TestRoot() + "/set.ini"); }
    std::string IniValue(const char* key) const {
        return GetPrivateProfileString("PspVideo", key, "<none>", 100, TestRoot() + "/set.ini");
    }
    std::vector<QString> boxes_;
};

TEST_F(PspSettingDlgTest, OpensWithApplyDisabledAndTheAudioBoxHidden) {
    AppSettings.convert = Settings(368, 23.976, 24000, 500, 96);
    CPspSettingDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), "Convert Setting");
    EXPECT_FALSE(dlg.ApplyButton()->isEnabled());
    EXPECT_TRUE(dlg.SetByValue()->isChecked());
    EXPECT_FALSE(dlg.FrameRate()->isEnabled());
    EXPECT_TRUE(dlg.CustomFrameRate()->isEnabled());
    EXPECT_EQ(dlg.CustomFrameRate()->text(), "23.976000");
    EXPECT_EQ(dlg.Resolution()->currentText(), "368 * 208");
    EXPECT_EQ(dlg.FrameRate()->count(), 10);
    EXPECT_EQ(dlg.FrameRate()->itemText(5), "24.97");
    EXPECT_EQ(dlg.VideoBitrate()->text(), "500");
    EXPECT_FALSE(dlg.AudioBitrate()->isVisible());
    for (int id : {res::IDC_PSP_AUDIO_BITRATE_LABEL, res::IDC_PSP_AUDIO_BITRATE_UNIT, res::IDC_PSP_AUDIO_BITRATE_HINT})
        EXPECT_FALSE(dlg.findChild<QWidget*>(res::ObjectName(id))->isVisible()) << id;
    EXPECT_TRUE(dlg.findChild<QWidget*>(res::ObjectName(res::IDC_PSP_VIDEO_BITRATE_HINT))->isVisible());
    EXPECT_EQ(dlg.findChild<QPushButton*>(res::ObjectName(IDOK)), dlg.OkButton());
}

TEST_F(PspSettingDlgTest, EveryChangeEnablesApply) {
    std::vector<std::function<void(CPspSettingDlg&)>> changes = {
        [](CPspSettingDlg& d) { d.Resolution()->setCurrentIndex(0); },
        [](CPspSettingDlg& d) { d.FrameRate()->setCurrentIndex(3); },
        [](CPspSettingDlg& d) { d.SetByValue()->click(); },
        [](CPspSettingDlg& d) { d.CustomFrameRate()->setText("12"); },
        [](CPspSettingDlg& d) { d.SampleRate()->setCurrentIndex(1); },
        [](CPspSettingDlg& d) { d.VideoBitrate()->setText("401"); },
        [](CPspSettingDlg& d) { d.DefaultButton()->click(); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        CPspSettingDlg dlg;
        ASSERT_FALSE(dlg.ApplyButton()->isEnabled());
        changes[i](dlg);
        EXPECT_TRUE(dlg.ApplyButton()->isEnabled()) << "change " << i;
    }
}

TEST_F(PspSettingDlgTest, SetByValueSwitchesBetweenListAndBox) {
    CPspSettingDlg dlg;
    EXPECT_TRUE(dlg.FrameRate()->isEnabled());
    EXPECT_FALSE(dlg.CustomFrameRate()->isEnabled());
    dlg.SetByValue()->click();
    EXPECT_FALSE(dlg.FrameRate()->isEnabled());
    EXPECT_TRUE(dlg.CustomFrameRate()->isEnabled());
    dlg.SetByValue()->click();
    EXPECT_TRUE(dlg.FrameRate()->isEnabled());
    EXPECT_FALSE(dlg.CustomFrameRate()->isEnabled());
}

TEST_F(PspSettingDlgTest, SampleRateSetsTheHiddenAudioBitrate) {
    CPspSettingDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.SampleRate()->currentText(), "24000");
    dlg.SampleRate()->setCurrentIndex(1);
    EXPECT_EQ(dlg.AudioBitrate()->text(), "192");
    EXPECT_FALSE(dlg.AudioBitrate()->isVisible());
    dlg.OkButton()->click();
    EXPECT_EQ(AppSettings.convert.audioResample, 48000);
    EXPECT_EQ(AppSettings.convert.audioBitrate, 192);
    EXPECT_EQ(IniValue("AudioResample"), "48000");
    EXPECT_EQ(IniValue("AudioBitrate"), "192");
}

TEST_F(PspSettingDlgTest, OkTakesTheChoicesOverAndSavesTheSection) {
    std::strcpy(AppSettings.convert.format, "mp4");
    CPspSettingDlg dlg;
    dlg.show();
    dlg.Resolution()->setCurrentIndex(0);  // 320 * 240
    dlg.FrameRate()->setCurrentIndex(7);   // 29.97
    dlg.VideoBitrate()->setText("768");
    dlg.OkButton()->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_TRUE(boxes_.empty());
    const ConvertSettings& s = AppSettings.convert;
    EXPECT_EQ(s.width, 320);
    EXPECT_EQ(s.height, 240);
    EXPECT_DOUBLE_EQ(s.fps, 29.97);
    EXPECT_EQ(s.videoBitrate, 768);
    EXPECT_EQ(s.audioBitrate, 96);
    EXPECT_EQ(s.audioResample, 24000);
    EXPECT_EQ(IniValue("X"), "320");
    EXPECT_EQ(IniValue("Y"), "240");
    EXPECT_EQ(IniValue("fps"), "29.970000");
    EXPECT_EQ(IniValue("VideoBitrate"), "768");
    EXPECT_EQ(IniValue("AudioBitrate"), "96");
    EXPECT_EQ(IniValue("Fmt"), "mp4");
    EXPECT_EQ(IniValue("AudioResample"), "24000");
}

TEST_F(PspSettingDlgTest, NoChangeWritesZeroAgain) {
    AppSettings.convert.fps = 0;
    CPspSettingDlg dlg;
    EXPECT_EQ(dlg.FrameRate()->currentText(), "No Change");
    dlg.OkButton()->click();
    EXPECT_EQ(IniValue("fps"), "0.000000");
    EXPECT_EQ(IniValue("X"), "368");
}

TEST_F(PspSettingDlgTest, CustomRateReadUpToTheSecondDot) {
    CPspSettingDlg dlg;
    dlg.SetByValue()->click();
    dlg.CustomFrameRate()->setText("29.97.1");
    dlg.ApplyButton()->click();
    EXPECT_TRUE(boxes_.empty());
    EXPECT_DOUBLE_EQ(AppSettings.convert.fps, 29.97);
    EXPECT_EQ(IniValue("fps"), "29.970000");
}

TEST_F(PspSettingDlgTest, RefusedInputShowsOneMessageFocusesAndTakesNothing) {
    struct Case {
        QString fps, video, audio;
        QString message;
        int focus;
    };
    const std::vector<Case> cases = {
        {"29,97", "abc", "96", "Please enter only numbers to custom frame rate.", res::IDC_PSP_CUSTOM_FPS},
        {"", "4 00", "96", "Please enter only numbers to video bit rate.", res::IDC_PSP_VIDEO_BITRATE},
        {"", "400", "9b", "Please enter only numbers to audio bit rate.", res::IDC_PSP_AUDIO_BITRATE},
        {"", "199", "96", "Video bit rate out of range, valid is 200 to 2000.", res::IDC_PSP_VIDEO_BITRATE},
        {"", "2001", "96", "Video bit rate out of range, valid is 200 to 2000.", res::IDC_PSP_VIDEO_BITRATE},
        {"", "2000", "31", "Audio bit rate out of range, valid is 32 to 320.", res::IDC_PSP_AUDIO_BITRATE},
        {"", "200", "321", "Audio bit rate out of range, valid is 32 to 320.", res::IDC_PSP_AUDIO_BITRATE},
    };
    for (const Case& c : cases) {
        for (bool ok : {true, false}) {
            boxes_.clear();
            CPspSettingDlg dlg;
            dlg.show();
            dlg.activateWindow();
            dlg.SetByValue()->click();
            dlg.Resolution()->setCurrentIndex(0);
            dlg.CustomFrameRate()->setText(c.fps);
            dlg.VideoBitrate()->setText(c.video);
            dlg.AudioBitrate()->setText(c.audio);
            (ok ? dlg.OkButton() : dlg.ApplyButton())->click();
            EXPECT_EQ(boxes_, (std::vector<QString>{"Error|" + c.message})) << c.message.toStdString();
            ASSERT_NE(dlg.ErrorFocus(), nullptr);
            EXPECT_EQ(dlg.ErrorFocus()->objectName(), res::ObjectName(c.focus));
            if (c.focus != res::IDC_PSP_AUDIO_BITRATE) {
                EXPECT_EQ(dlg.focusWidget(), dlg.ErrorFocus());
            }
            EXPECT_TRUE(dlg.isVisible());
            EXPECT_TRUE(dlg.ApplyButton()->isEnabled());
            EXPECT_EQ(AppSettings.convert.width, 368);
            EXPECT_EQ(AppSettings.convert.fps, 0);
            EXPECT_EQ(Ini(), "");
        }
    }
}

TEST_F(PspSettingDlgTest, ApplyKeepsTheDialogOpenAndCancelKeepsWhatWasApplied) {
    CPspSettingDlg dlg;
    dlg.show();
    dlg.VideoBitrate()->setText("900");
    dlg.ApplyButton()->click();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(dlg.ApplyButton()->isEnabled());
    EXPECT_EQ(AppSettings.convert.videoBitrate, 900);
    EXPECT_EQ(IniValue("VideoBitrate"), "900");

    dlg.VideoBitrate()->setText("1200");
    dlg.CancelButton()->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(AppSettings.convert.videoBitrate, 900);
    EXPECT_EQ(IniValue("VideoBitrate"), "900");
}

TEST_F(PspSettingDlgTest, DefaultShowsTheDefaultsAndTakesNothingOver) {
    AppSettings.convert = Settings(320, 23.976, 48000, 1500, 192);
    {
        CPspSettingDlg dlg;
        dlg.show();
        dlg.DefaultButton()->click();
        EXPECT_EQ(dlg.Resolution()->currentText(), "368 * 208");
        EXPECT_EQ(dlg.FrameRate()->currentText(), "No Change");
        EXPECT_FALSE(dlg.SetByValue()->isChecked());
        EXPECT_TRUE(dlg.FrameRate()->isEnabled());
        EXPECT_EQ(dlg.CustomFrameRate()->text(), "");
        EXPECT_EQ(dlg.SampleRate()->currentText(), "24000");
        EXPECT_EQ(dlg.VideoBitrate()->text(), "400");
        EXPECT_EQ(dlg.AudioBitrate()->text(), "96");
        dlg.CancelButton()->click();
    }
    EXPECT_EQ(AppSettings.convert.width, 320);
    EXPECT_EQ(AppSettings.convert.videoBitrate, 1500);
    EXPECT_EQ(Ini(), "");

    CPspSettingDlg dlg;
    dlg.DefaultButton()->click();
    dlg.OkButton()->click();
    EXPECT_EQ(AppSettings.convert.width, 368);
    EXPECT_EQ(AppSettings.convert.height, 208);
    EXPECT_EQ(AppSettings.convert.fps, 0);
    EXPECT_EQ(AppSettings.convert.audioResample, 24000);
    EXPECT_EQ(AppSettings.convert.videoBitrate, 400);
    EXPECT_EQ(AppSettings.convert.audioBitrate, 96);
    EXPECT_EQ(IniValue("fps"), "0.000000");
}

TEST_F(PspSettingDlgTest, DvdWidthStaysWhenNothingIsSelected) {
    AppSettings.convert = Settings(720, 25);
    AppSettings.convert.height = 480;
    CPspSettingDlg dlg;
    EXPECT_EQ(dlg.Resolution()->currentIndex(), -1);
    dlg.OkButton()->click();
    EXPECT_EQ(AppSettings.convert.width, 720);
    EXPECT_EQ(AppSettings.convert.height, 480);
    EXPECT_EQ(IniValue("X"), "720");
    EXPECT_EQ(IniValue("fps"), "25.000000");
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

// The codec choice: AVC offers and selects the PSP's whole screen; MPEG-4
// keeps its two sizes.
TEST(PspSettingForm, CodecChoiceAndItsResolutions) {
    EXPECT_EQ(PspSettingForm::ResolutionItemsFor(0), PspSettingForm::ResolutionItems());
    EXPECT_EQ(PspSettingForm::ResolutionItemsFor(1), (QStringList{"320 * 240", "368 * 208", "480 * 272"}));
    EXPECT_EQ(PspSettingForm::ResolutionAfterCodecChange(1, 0), 2);
    EXPECT_EQ(PspSettingForm::ResolutionAfterCodecChange(0, 2), 1);
    EXPECT_EQ(PspSettingForm::ResolutionAfterCodecChange(0, 0), 0);
    EXPECT_EQ(PspSettingForm::ResolutionAfterCodecChange(0, -1), -1);

    ConvertSettings s;
    s.codec = PspCodec::Avc;
    s.width = 480;
    s.height = 272;
    PspSettingForm f = PspSettingForm::FromSettings(s);
    EXPECT_EQ(f.codecIndex, 1);
    EXPECT_EQ(f.resolutionIndex, 2);
    s.codec = PspCodec::Mpeg4;  // 480 is no MPEG-4 item: 368 as for other widths
    EXPECT_EQ(PspSettingForm::FromSettings(s).resolutionIndex, 1);

    ConvertSettings out;
    f.TakeOver(out);
    EXPECT_EQ(out.codec, PspCodec::Avc);
    EXPECT_EQ(out.width, 480);
    EXPECT_EQ(out.height, 272);
    f.codecIndex = 0;  // index 2 means nothing in the MPEG-4 list
    out = ConvertSettings{};
    f.TakeOver(out);
    EXPECT_EQ(out.codec, PspCodec::Mpeg4);
    EXPECT_EQ(out.width, 368);
    EXPECT_EQ(PspSettingForm::Defaults().codecIndex, 0);
}

TEST_F(PspSettingDlgTest, ChoosingAvcOffersAndSelects480x272AndOkSavesTheCodec) {
    CPspSettingDlg dlg;
    EXPECT_EQ(dlg.Codec()->objectName(), res::ObjectName(res::IDC_PSP_CODEC));
    EXPECT_EQ(dlg.Codec()->currentIndex(), 0);
    EXPECT_EQ(dlg.Resolution()->count(), 2);
    dlg.Codec()->setCurrentIndex(1);
    EXPECT_TRUE(dlg.ApplyButton()->isEnabled());
    EXPECT_EQ(dlg.Resolution()->count(), 3);
    EXPECT_EQ(dlg.Resolution()->currentText(), "480 * 272");
    dlg.OnOk();
    EXPECT_EQ(AppSettings.convert.codec, PspCodec::Avc);
    EXPECT_EQ(AppSettings.convert.width, 480);
    EXPECT_EQ(IniValue("Codec"), "avc");
    EXPECT_EQ(IniValue("X"), "480");
    EXPECT_EQ(IniValue("Y"), "272");

    CPspSettingDlg again;  // opens on what was saved
    EXPECT_EQ(again.Codec()->currentIndex(), 1);
    EXPECT_EQ(again.Resolution()->currentText(), "480 * 272");
    again.Codec()->setCurrentIndex(0);  // back: the MPEG-4 list, 368 * 208
    EXPECT_EQ(again.Resolution()->count(), 2);
    EXPECT_EQ(again.Resolution()->currentText(), "368 * 208");
    again.OnDefault();
    EXPECT_EQ(again.Codec()->currentIndex(), 0);
}

}  // namespace
}  // namespace kalvex
