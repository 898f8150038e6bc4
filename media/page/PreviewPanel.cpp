#include "media/page/PreviewPanel.h"

#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QRegion>
#include <QScreen>
#include <QSlider>
#include <QTimer>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/page/CAddFilePage.h"
#include "common/ui/grindel/Grindel.h"
#include "common/ui/Dialogs.h"
#include "resources/resource.h"

namespace kalvex {

PreviewPicture::PreviewPicture(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {
    // paintEvent covers every pixel: no background is drawn first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
}

void PreviewPicture::SetFrame(FramePtr frame) {
    frame_ = std::move(frame);
    update();
}

QRect PreviewPicture::PictureRect() const {
    if (!frame_ || frame_->width <= 0 || frame_->height <= 0 || !frame_->pixels) return {};
    const VideoRect r = FitRect(width(), height(), frame_->DisplayAspect());
    return QRect(r.left, r.top, r.Width(), r.Height());
}

void PreviewPicture::paintEvent(QPaintEvent* e) {
    QPainter painter(this);
    const QRect target = PictureRect();
    // The bars (the whole area without a picture).
    for (const QRect& bar : QRegion(e->rect()).subtracted(QRegion(target))) painter.fillRect(bar, Qt::black);
    if (target.isEmpty()) return;
    // The frame's memory as it stands, no copy: 0xffRRGGBB words.
    const QImage image(frame_->pixels, frame_->width, frame_->height, frame_->stride, QImage::Format_RGB32);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image);
}

PreviewPanel::PreviewPanel(CAddFilePage* page) : QObject(page), page_(page) {
    auto button = [page](int id) { return page->findChild<QPushButton*>(res::ObjectName(id)); };
    play_ = button(res::IDC_PLAY);
    stop_ = button(res::IDC_STOP);
    pause_ = button(res::IDC_PAUSE);
    setStart_ = button(res::IDC_SET_START_TIME);
    setEnd_ = button(res::IDC_SET_END_TIME);
    fullScreen_ = button(res::IDC_FULLSCREEN);
    slider_ = page->findChild<QSlider*>(res::ObjectName(res::IDC_POSITION_SLIDER));
    timeLabel_ = page->findChild<QLabel*>(res::ObjectName(res::IDC_TIME_LABEL));
    area_ = page->findChild<PreviewPicture*>(res::ObjectName(res::IDC_PREVIEW_AREA));
    timer_ = new QTimer(this);
    timer_->setObjectName("PreviewTimer1");
    controller_ = std::make_unique<PlaybackController>(*this);

    connect(play_, &QPushButton::clicked, this, [this] { controller_->Play(); });
    connect(stop_, &QPushButton::clicked, this, [this] { controller_->Stop(); });
    connect(pause_, &QPushButton::clicked, this, [this] { controller_->PauseButton(); });
    connect(setStart_, &QPushButton::clicked, this, [this] { controller_->SetStartTime(); });
    connect(setEnd_, &QPushButton::clicked, this, [this] { controller_->SetEndTime(); });
    connect(fullScreen_, &QPushButton::clicked, this, [this] { controller_->FullScreenButton(); });
    connect(timer_, &QTimer::timeout, this, [this] { controller_->TimerTick(); });
    // The slider's moves in the trackbar's terms: a drag is THUMBTRACK, its
    // release THUMBPOSITION then ENDTRACK; a click or key is one step
    // followed by ENDTRACK.
    connect(slider_, &QSlider::sliderMoved, this, [this](int v) { controller_->SliderScroll(TB_THUMBTRACK, v); });
    connect(slider_, &QSlider::sliderReleased, this, [this] {
        controller_->SliderScroll(TB_THUMBPOSITION, slider_->value());
        controller_->SliderScroll(TB_ENDTRACK, slider_->value());
    });
    connect(slider_, &QSlider::valueChanged, this, &PreviewPanel::OnSliderValue);
}

PreviewPanel::~PreviewPanel() {
    controller_.reset();
    delete fullWindow_;
}

void PreviewPanel::OnSliderValue(int value) {
    if (settingSlider_ || slider_->isSliderDown()) return;
    controller_->SliderScroll(TB_PAGEDOWN, value);
    controller_->SliderScroll(TB_ENDTRACK, value);
}

bool PreviewPanel::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QObject::event(e);
}

LRESULT PreviewPanel::HandleMessage(unsigned msg, WPARAM, LPARAM) {
    if (msg == WM_GRAPH_NOTIFY) controller_->GraphEvent();
    if (msg == WM_HOOK_KEY) controller_->HookKeyPress();
    return 0;
}

int PreviewPanel::SelectedIndex() const { return page_->FirstSelected(); }
int PreviewPanel::EntryCount() const { return page_->Count(); }
VideoFileEntry* PreviewPanel::Entry(int index) { return &page_->Entry(index); }
void PreviewPanel::RefreshRow(int index) { page_->RefreshRow(index); }

void PreviewPanel::EnableButtons(bool play, bool others) {
    play_->setEnabled(play);
    for (QPushButton* b : {stop_, pause_, setStart_, setEnd_, fullScreen_}) b->setEnabled(others);
    slider_->setEnabled(others);
}

void PreviewPanel::SetPauseCaption(const std::string& caption) { pause_->setText(QString::fromStdString(caption)); }

void PreviewPanel::SetSliderPosition(int position) {
    settingSlider_ = true;
    slider_->setValue(position);
    settingSlider_ = false;
}

std::string PreviewPanel::TimeLabel() const { return timeLabel_->text().toStdString(); }
void PreviewPanel::SetTimeLabel(const std::string& text) { timeLabel_->setText(QString::fromStdString(text)); }
void PreviewPanel::StartTimer(int periodMs) { timer_->start(periodMs); }
void PreviewPanel::KillTimer() { timer_->stop(); }
void PreviewPanel::ShowMessage(const std::string& text) { MessageBox(QString::fromStdString(text)); }

void PreviewPanel::ShowHint(const std::string& key, const std::string& text) {
    ShowHintOnce(QString::fromStdString(key), QString::fromStdString(text));
}

void PreviewPanel::SetKeyboardHook(bool on) {
    if (on)
        kalvex::SetKeyboardHook(this);
    else
        kalvex::UnsetKeyboardHook();
}

void PreviewPanel::PresentFrame(FramePtr frame) {
    {
        std::lock_guard g(mailLock_);
        mail_ = std::move(frame);
        if (mailPosted_) return;
        mailPosted_ = true;
    }
    QMetaObject::invokeMethod(this, [this] { TakeFrame(); }, Qt::QueuedConnection);
}

void PreviewPanel::TakeFrame() {
    FramePtr frame;
    {
        std::lock_guard g(mailLock_);
        frame = std::move(mail_);
        mailPosted_ = false;
    }
    if (!frame) return;
    if (area_) area_->SetFrame(frame);
    if (fullWindow_ && fullWindow_->isVisible()) fullWindow_->SetFrame(frame);
}

void PreviewPanel::ClearPicture() {
    {
        std::lock_guard g(mailLock_);
        mail_.reset();
    }
    if (area_) area_->SetFrame(nullptr);
    if (fullWindow_) fullWindow_->SetFrame(nullptr);
}

void PreviewPanel::ShowFullScreen(bool show) {
    if (!show) {
        if (fullWindow_) fullWindow_->hide();
        return;
    }
    if (!fullWindow_) {
        fullWindow_ = new PreviewPicture(nullptr, Qt::Window | Qt::FramelessWindowHint);
        fullWindow_->setObjectName("FullScreenVideo");
    }
    // The picture the area shows now, so a paused movie shows at once.
    fullWindow_->SetFrame(area_ ? area_->Frame() : nullptr);
    QScreen* screen = area_ && area_->screen() ? area_->screen() : QGuiApplication::primaryScreen();
    if (screen) fullWindow_->setGeometry(screen->geometry());
    fullWindow_->showFullScreen();
}

void PreviewPanel::PostGraphNotify() { PostMessage(this, WM_GRAPH_NOTIFY, 0, 0); }

int PreviewPanel::TimeFormat() const { return AppSettings.timeFormat; }

ConvertSettings PreviewPanel::ScriptSettings() const { return AppSettings.convert; }

TrackChoice PreviewPanel::Tracks(int index) const { return page_->TrackChoiceOf(index); }

}  // namespace kalvex
