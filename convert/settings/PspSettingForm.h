#pragma once
// The values of the "Convert Setting" dialog and their rules, apart from
// any window: which list items a ConvertSettings selects, how the typed
// texts are checked and how the choices become ConvertSettings again.
#include <QString>
#include <QStringList>
#include <optional>

#include "common/AppSettings.h"

namespace kalvex {

struct PspSettingForm {
    // The controls' state.
    int codecIndex = 0;        // 0 = MPEG-4, 1 = AVC
    int resolutionIndex = 1;   // -1 = no item selected
    int frameRateIndex = 0;
    bool setByValue = false;   // the custom frame rate is used instead of the list
    QString customFrameRate;
    int sampleRateIndex = 0;
    QString videoBitrate;
    QString audioBitrate;      // the hidden box

    static const QStringList& ResolutionItems();  // "320 * 240", "368 * 208"
    // The resolution list for a codec: with AVC "480 * 272" (index 2), the
    // PSP's whole screen, follows.
    static QStringList ResolutionItemsFor(int codecIndex);
    static const QStringList& CodecItems();       // "MPEG-4", "AVC (H.264)"
    // The resolution a change of codec selects: 480 * 272 when AVC is
    // chosen; back from AVC, 368 * 208 when 480 * 272 was selected (the
    // MPEG-4 list has no such item); otherwise the selection stays.
    static int ResolutionAfterCodecChange(int codecIndex, int resolutionIndex);
    static const QStringList& FrameRateItems();   // "No Change", "10", ... "60"
    static const QStringList& SampleRateItems();  // "24000", "48000"
    static double FrameRateOfIndex(int index);    // 0 for "No Change"
    // The audio bit rate that goes with a sample-rate item: "96" or "192".
    static QString AudioBitrateForSampleRate(int index);

    // The state the dialog opens with for these settings.
    static PspSettingForm FromSettings(const ConvertSettings& settings);
    // The state "Default" shows.
    static PspSettingForm Defaults();

    // Which control a validation message is about.
    enum class Field { CustomFrameRate, VideoBitrate, AudioBitrate };
    struct Error {
        QString message;
        Field field;
    };
    // The first failing check in the dialog's order, or nothing.
    std::optional<Error> Validate() const;

    // Writes the choices into settings (after a successful Validate).
    // Fmt is left alone; no selected resolution leaves X and Y.
    void TakeOver(ConvertSettings& settings) const;

    // Only the digits 0 to 9 and "." (the empty text passes).
    static bool IsNumberText(const QString& text);
    // Leading decimal digits as an integer (0 when none; huge values are
    // capped, so they stay out of range instead of wrapping around).
    static int ReadInteger(const QString& text);
    // A decimal number from the start of the text ("29.97.1" -> 29.97,
    // "" -> 0).
    static double ReadDecimal(const QString& text);
};

}  // namespace kalvex
