#include "convert/settings/CPspSettingDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "common/ui/Dialogs.h"
#include "resources/resource.h"

namespace kalvex {

namespace {

template <typename W>
W* Named(W* widget, int id) {
    widget->setObjectName(res::ObjectName(id));
    return widget;
}

}  // namespace

CPspSettingDlg::CPspSettingDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(res::ObjectName(res::IDD_PSP_SETTING));
    setWindowTitle("Convert Setting");

    codec_ = Named(new QComboBox(this), res::IDC_PSP_CODEC);
    codec_->addItems(PspSettingForm::CodecItems());
    resolution_ = Named(new QComboBox(this), res::IDC_PSP_RESOLUTION);
    resolution_->addItems(PspSettingForm::ResolutionItems());
    frame_rate_ = Named(new QComboBox(this), res::IDC_PSP_FRAME_RATE);
    frame_rate_->addItems(PspSettingForm::FrameRateItems());
    set_by_value_ = Named(new QCheckBox("Set by value", this), res::IDC_PSP_SET_BY_VALUE);
    custom_fps_ = Named(new QLineEdit(this), res::IDC_PSP_CUSTOM_FPS);
    sample_rate_ = Named(new QComboBox(this), res::IDC_PSP_SAMPLE_RATE);
    sample_rate_->addItems(PspSettingForm::SampleRateItems());
    video_bitrate_ = Named(new QLineEdit(this), res::IDC_PSP_VIDEO_BITRATE);
    audio_bitrate_ = Named(new QLineEdit(this), res::IDC_PSP_AUDIO_BITRATE);
    audio_label_ = Named(new QLabel("Audio Bit Rate", this), res::IDC_PSP_AUDIO_BITRATE_LABEL);
    audio_unit_ = Named(new QLabel("Kbps", this), res::IDC_PSP_AUDIO_BITRATE_UNIT);
    audio_hint_ = Named(new QLabel("Please enter value between 32 to 320", this), res::IDC_PSP_AUDIO_BITRATE_HINT);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Video Codec", this), 5, 0);
    grid->addWidget(codec_, 5, 1);
    grid->addWidget(new QLabel("Video Resolution", this), 0, 0);
    grid->addWidget(resolution_, 0, 1);
    grid->addWidget(new QLabel("Video Frame Rate", this), 1, 0);
    grid->addWidget(frame_rate_, 1, 1);
    grid->addWidget(set_by_value_, 1, 2);
    grid->addWidget(custom_fps_, 1, 3);
    grid->addWidget(new QLabel("Audio Sample Rate", this), 2, 0);
    grid->addWidget(sample_rate_, 2, 1);
    grid->addWidget(new QLabel("Video Bit Rate", this), 3, 0);
    grid->addWidget(video_bitrate_, 3, 1);
    grid->addWidget(Named(new QLabel("Kbps", this), res::IDC_PSP_VIDEO_BITRATE_UNIT), 3, 2);
    grid->addWidget(Named(new QLabel("Please enter value between 200 to 2000", this), res::IDC_PSP_VIDEO_BITRATE_HINT),
                    3, 3);
    grid->addWidget(audio_label_, 4, 0);
    grid->addWidget(audio_bitrate_, 4, 1);
    grid->addWidget(audio_unit_, 4, 2);
    grid->addWidget(audio_hint_, 4, 3);
    // The audio bit rate follows the sample rate; its box is never shown.
    for (QWidget* w : {static_cast<QWidget*>(audio_label_), static_cast<QWidget*>(audio_bitrate_),
                       static_cast<QWidget*>(audio_unit_), static_cast<QWidget*>(audio_hint_)})
        w->hide();

    ok_ = Named(new QPushButton("OK", this), IDOK);
    cancel_ = Named(new QPushButton("Cancel", this), IDCANCEL);
    apply_ = Named(new QPushButton("Apply", this), res::IDC_PSP_APPLY);
    default_ = Named(new QPushButton("Default", this), res::IDC_PSP_DEFAULT);
    ok_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    for (QPushButton* b : {ok_, cancel_, apply_, default_}) buttons->addWidget(b);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    apply_->setEnabled(false);
    Show(PspSettingForm::FromSettings(AppSettings.convert));

    connect(ok_, &QPushButton::clicked, this, &CPspSettingDlg::OnOk);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(apply_, &QPushButton::clicked, this, &CPspSettingDlg::OnApply);
    connect(default_, &QPushButton::clicked, this, &CPspSettingDlg::OnDefault);
    connect(set_by_value_, &QCheckBox::clicked, this, &CPspSettingDlg::SetByValueClicked);
    connect(sample_rate_, &QComboBox::currentIndexChanged, this, &CPspSettingDlg::SampleRateSelected);
    connect(codec_, &QComboBox::currentIndexChanged, this, &CPspSettingDlg::CodecSelected);
    for (QComboBox* list : {resolution_, frame_rate_})
        connect(list, &QComboBox::currentIndexChanged, this, &CPspSettingDlg::Changed);
    for (QLineEdit* box : {custom_fps_, video_bitrate_, audio_bitrate_})
        connect(box, &QLineEdit::textChanged, this, &CPspSettingDlg::Changed);
}

void CPspSettingDlg::FillResolutions(int codecIndex, int select) {
    const QSignalBlocker quiet(resolution_);
    resolution_->clear();
    resolution_->addItems(PspSettingForm::ResolutionItemsFor(codecIndex));
    resolution_->setCurrentIndex(select);
}

// A change of codec changes the resolution list: AVC offers the PSP's
// whole screen and selects it.
void CPspSettingDlg::CodecSelected(int index) {
    FillResolutions(index, PspSettingForm::ResolutionAfterCodecChange(index, resolution_->currentIndex()));
    apply_->setEnabled(true);
}

void CPspSettingDlg::Show(const PspSettingForm& form) {
    {
        const QSignalBlocker quiet(codec_);
        codec_->setCurrentIndex(form.codecIndex);
    }
    FillResolutions(form.codecIndex, form.resolutionIndex);
    frame_rate_->setCurrentIndex(form.frameRateIndex);
    set_by_value_->setChecked(form.setByValue);
    frame_rate_->setEnabled(!form.setByValue);
    custom_fps_->setEnabled(form.setByValue);
    custom_fps_->setText(form.customFrameRate);
    sample_rate_->setCurrentIndex(form.sampleRateIndex);
    video_bitrate_->setText(form.videoBitrate);
    audio_bitrate_->setText(form.audioBitrate);
}

PspSettingForm CPspSettingDlg::Form() const {
    PspSettingForm form;
    form.codecIndex = codec_->currentIndex();
    form.resolutionIndex = resolution_->currentIndex();
    form.frameRateIndex = frame_rate_->currentIndex();
    form.setByValue = set_by_value_->isChecked();
    form.customFrameRate = custom_fps_->text();
    form.sampleRateIndex = sample_rate_->currentIndex();
    form.videoBitrate = video_bitrate_->text();
    form.audioBitrate = audio_bitrate_->text();
    return form;
}

void CPspSettingDlg::SetByValueClicked() {
    const bool custom = set_by_value_->isChecked();
    frame_rate_->setEnabled(!custom);
    custom_fps_->setEnabled(custom);
    apply_->setEnabled(true);
}

void CPspSettingDlg::SampleRateSelected(int index) {
    apply_->setEnabled(true);
    audio_bitrate_->setText(PspSettingForm::AudioBitrateForSampleRate(index));
}

void CPspSettingDlg::Changed() { apply_->setEnabled(true); }

bool CPspSettingDlg::Accept() {
    const PspSettingForm form = Form();
    if (const auto error = form.Validate()) {
        MessageBox(error->message, "Error", MB_OK | MB_ICONINFORMATION);
        switch (error->field) {
            case PspSettingForm::Field::CustomFrameRate: error_focus_ = custom_fps_; break;
            case PspSettingForm::Field::VideoBitrate: error_focus_ = video_bitrate_; break;
            case PspSettingForm::Field::AudioBitrate: error_focus_ = audio_bitrate_; break;
        }
        error_focus_->setFocus();
        return false;
    }
    form.TakeOver(AppSettings.convert);
    SaveConvertSettings();
    return true;
}

void CPspSettingDlg::OnOk() {
    if (Accept()) accept();
}

void CPspSettingDlg::OnApply() {
    if (Accept()) apply_->setEnabled(false);
}

void CPspSettingDlg::OnDefault() {
    apply_->setEnabled(true);
    Show(PspSettingForm::Defaults());
}

}  // namespace kalvex
