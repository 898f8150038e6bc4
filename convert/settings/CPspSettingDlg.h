#pragma once
#include <QDialog>

#include "convert/settings/PspSettingForm.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kalvex {

// "Convert Setting": edits the PspVideo values of AppSettings.convert.
// OK and Apply check the input, take the values over and save the PspVideo
// section; Cancel keeps what was not applied. The audio bit-rate box stays
// hidden and follows the sample-rate list.
class CPspSettingDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPspSettingDlg(QWidget* parent = nullptr);

    // The controls' state as the user set it.
    PspSettingForm Form() const;
    // The control a validation message put the focus on last (null before).
    QWidget* ErrorFocus() const { return error_focus_; }

    QComboBox* Codec() const { return codec_; }
    QComboBox* Resolution() const { return resolution_; }
    QComboBox* FrameRate() const { return frame_rate_; }
    QCheckBox* SetByValue() const { return set_by_value_; }
    QLineEdit* CustomFrameRate() const { return custom_fps_; }
    QComboBox* SampleRate() const { return sample_rate_; }
    QLineEdit* VideoBitrate() const { return video_bitrate_; }
    QLineEdit* AudioBitrate() const { return audio_bitrate_; }
    QPushButton* ApplyButton() const { return apply_; }
    QPushButton* DefaultButton() const { return default_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

public slots:
    void OnOk();
    void OnApply();
    void OnDefault();

private:
    void Show(const PspSettingForm& form);
    void SetByValueClicked();
    void SampleRateSelected(int index);
    void CodecSelected(int index);
    void FillResolutions(int codecIndex, int select);
    void Changed();
    // Checks the input (showing the first message) and takes it over.
    bool Accept();

    QComboBox* codec_;
    QComboBox* resolution_;
    QComboBox* frame_rate_;
    QCheckBox* set_by_value_;
    QLineEdit* custom_fps_;
    QComboBox* sample_rate_;
    QLineEdit* video_bitrate_;
    QLineEdit* audio_bitrate_;
    QLabel* audio_label_;
    QLabel* audio_unit_;
    QLabel* audio_hint_;
    QPushButton* ok_;
    QPushButton* cancel_;
    QPushButton* apply_;
    QPushButton* default_;
    QWidget* error_focus_ = nullptr;
};

}  // namespace kalvex
