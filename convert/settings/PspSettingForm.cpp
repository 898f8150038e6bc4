#include "convert/settings/PspSettingForm.h"

#include <QLocale>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kalvex {

namespace {
constexpr double kFrameRates[] = {0, 10, 15, 20, 24, 24.97, 25, 29.97, 30, 60};
constexpr int kFrameRateCount = sizeof kFrameRates / sizeof kFrameRates[0];
}  // namespace

const QStringList& PspSettingForm::ResolutionItems() {
    static const QStringList items{"320 * 240", "368 * 208"};
    return items;
}

QStringList PspSettingForm::ResolutionItemsFor(int codecIndex) {
    QStringList items = ResolutionItems();
    if (codecIndex == 1) items << "480 * 272";
    return items;
}

const QStringList& PspSettingForm::CodecItems() {
    static const QStringList items{"MPEG-4", "AVC (H.264)"};
    return items;
}

int PspSettingForm::ResolutionAfterCodecChange(int codecIndex, int resolutionIndex) {
    if (codecIndex == 1) return 2;
    return resolutionIndex == 2 ? 1 : resolutionIndex;
}

const QStringList& PspSettingForm::FrameRateItems() {
    static const QStringList items{"No Change", "10", "15", "20", "24", "24.97", "25", "29.97", "30", "60"};
    return items;
}

const QStringList& PspSettingForm::SampleRateItems() {
    static const QStringList items{"24000", "48000"};
    return items;
}

double PspSettingForm::FrameRateOfIndex(int index) {
    return index >= 0 && index < kFrameRateCount ? kFrameRates[index] : 0;
}

QString PspSettingForm::AudioBitrateForSampleRate(int index) { return index == 1 ? "192" : "96"; }

PspSettingForm PspSettingForm::FromSettings(const ConvertSettings& s) {
    PspSettingForm form;
    form.codecIndex = s.codec == PspCodec::Avc ? 1 : 0;
    // 320 and 368 pick their items (480 too, in the AVC list); 720 (a DVD
    // width) names an item the list does not have, so nothing is selected;
    // other widths keep 368.
    form.resolutionIndex = 1;
    if (s.width == 480 && form.codecIndex == 1)
        form.resolutionIndex = 2;
    else if (s.width == 320)
        form.resolutionIndex = 0;
    else if (s.width == 368)
        form.resolutionIndex = 1;
    else if (s.width == 720)
        form.resolutionIndex = -1;

    form.frameRateIndex = 0;
    form.setByValue = true;
    const float fps = static_cast<float>(s.fps);
    for (int i = 0; i < kFrameRateCount; ++i) {
        if (std::fabs(fps - kFrameRates[i]) < 0.01) {
            form.frameRateIndex = i;
            form.setByValue = false;
            break;
        }
    }
    if (form.setByValue) form.customFrameRate = QString::asprintf("%f", s.fps);

    form.sampleRateIndex = s.audioResample == 24000 ? 0 : 1;
    form.videoBitrate = QString::asprintf("%d", s.videoBitrate);
    form.audioBitrate = QString::asprintf("%d", s.audioBitrate);
    return form;
}

PspSettingForm PspSettingForm::Defaults() {
    PspSettingForm form;
    form.codecIndex = 0;
    form.resolutionIndex = 1;
    form.frameRateIndex = 0;
    form.setByValue = false;
    form.customFrameRate.clear();
    form.sampleRateIndex = 0;
    form.videoBitrate = "400";
    form.audioBitrate = "96";
    return form;
}

std::optional<PspSettingForm::Error> PspSettingForm::Validate() const {
    if (!IsNumberText(customFrameRate))
        return Error{"Please enter only numbers to custom frame rate.", Field::CustomFrameRate};
    if (!IsNumberText(videoBitrate))
        return Error{"Please enter only numbers to video bit rate.", Field::VideoBitrate};
    if (!IsNumberText(audioBitrate))
        return Error{"Please enter only numbers to audio bit rate.", Field::AudioBitrate};
    const int video = ReadInteger(videoBitrate);
    if (video < 200 || video > 2000)
        return Error{"Video bit rate out of range, valid is 200 to 2000.", Field::VideoBitrate};
    const int audio = ReadInteger(audioBitrate);
    if (audio < 32 || audio > 320)
        return Error{"Audio bit rate out of range, valid is 32 to 320.", Field::AudioBitrate};
    return std::nullopt;
}

void PspSettingForm::TakeOver(ConvertSettings& s) const {
    if (resolutionIndex == 0) {
        s.width = 320;
        s.height = 240;
    } else if (resolutionIndex == 1) {
        s.width = 368;
        s.height = 208;
    } else if (resolutionIndex == 2 && codecIndex == 1) {
        s.width = kAvcDefaultWidth;
        s.height = kAvcDefaultHeight;
    }
    s.codec = codecIndex == 1 ? PspCodec::Avc : PspCodec::Mpeg4;
    s.fps = setByValue ? ReadDecimal(customFrameRate) : FrameRateOfIndex(frameRateIndex);
    s.audioResample = sampleRateIndex != 0 ? 48000 : 24000;
    s.videoBitrate = ReadInteger(videoBitrate);
    s.audioBitrate = ReadInteger(audioBitrate);
}

bool PspSettingForm::IsNumberText(const QString& text) {
    for (QChar c : text)
        if (!(c >= '0' && c <= '9') && c != '.') return false;
    return true;
}

int PspSettingForm::ReadInteger(const QString& text) {
    long long value = 0;
    for (QChar c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c.unicode() - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

double PspSettingForm::ReadDecimal(const QString& text) {
    // Digits, then at most one dot and digits: the number a C conversion
    // reads from the start ("29.97.1" gives 29.97). Parsed in the C locale,
    // whatever the user's decimal separator is.
    qsizetype end = 0;
    while (end < text.size() && text[end].isDigit()) ++end;
    if (end < text.size() && text[end] == '.') {
        ++end;
        while (end < text.size() && text[end].isDigit()) ++end;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(QStringView(text).left(end), &ok);
    return ok ? value : 0;
}

}  // namespace kalvex
