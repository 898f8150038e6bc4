#include "media/page/PreviewPanel.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
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
    area_ = page->findChild<QLabel*>(res::ObjectName(res::IDC_PREVIEW_AREA));
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
    if (area_) {
        // The picture is drawn into the area's own native window.
        area_->setAttribute(Qt::WA_DontCreateNativeAncestors);
        area_->setAttribute(Qt::WA_NativeWindow);
        area_->installEventFilter(this);
    }
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

bool PreviewPanel::eventFilter(QObject* watched, QEvent* e) {
    // A resized video area gets the picture placed anew.
    if (watched == area_ && e->type() == QEvent::Resize && controller_) controller_->VideoAreaResized();
    return QObject::eventFilter(watched, e);
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

uintptr_t PreviewPanel::VideoWindow(int* width, int* height) {
    if (!area_) return 0;
    *width = area_->width();
    *height = area_->height();
    return uintptr_t(area_->winId());
}

uintptr_t PreviewPanel::ShowFullScreenWindow(bool show, int* width, int* height) {
    if (!show) {
        if (fullWindow_) fullWindow_->hide();
        return 0;
    }
    if (!fullWindow_) {
        fullWindow_ = new QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint);
        fullWindow_->setObjectName("FullScreenVideo");
        fullWindow_->setStyleSheet("background: black");
        fullWindow_->setAttribute(Qt::WA_NativeWindow);
    }
    QScreen* screen = area_ && area_->screen() ? area_->screen() : QGuiApplication::primaryScreen();
    if (screen) fullWindow_->setGeometry(screen->geometry());
    fullWindow_->showFullScreen();
    *width = fullWindow_->width();
    *height = fullWindow_->height();
    return uintptr_t(fullWindow_->winId());
}

void PreviewPanel::PostGraphNotify() { PostMessage(this, WM_GRAPH_NOTIFY, 0, 0); }

int PreviewPanel::TimeFormat() const { return AppSettings.timeFormat; }

ConvertSettings PreviewPanel::ScriptSettings() const { return AppSettings.convert; }

TrackChoice PreviewPanel::Tracks(int index) const { return page_->TrackChoiceOf(index); }

}  // namespace kalvex
