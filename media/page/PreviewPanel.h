#pragma once
// The Video Files page's playback controls wired to the playback logic: the
// page's buttons, slider, time label and video area drive a
// PlaybackController, which answers through the PlaybackView calls here.
// The pictures are drawn here, by PreviewPicture widgets: the same code on
// X11, Wayland and the offscreen platform.
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <memory>
#include <mutex>

#include "platform/messages/Messages.h"
#include "preview/PlaybackController.h"

class QLabel;
class QPushButton;
class QSlider;
class QTimer;

namespace kalvex {

class CAddFilePage;

// The video area (and the full-screen window): draws its current picture
// scaled to its size with the picture's display aspect kept, black bars
// around it, nothing cut off; black all over without a picture.
class PreviewPicture : public QWidget {
    Q_OBJECT
public:
    explicit PreviewPicture(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    // The picture to show from now on (null: none); repaints.
    void SetFrame(FramePtr frame);
    const FramePtr& Frame() const { return frame_; }
    // Where the current picture lands in the widget; empty without one.
    QRect PictureRect() const;

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    FramePtr frame_;
};

class PreviewPanel : public QObject, public IMessageTarget, public PlaybackView {
    Q_OBJECT
public:
    explicit PreviewPanel(CAddFilePage* page);
    ~PreviewPanel() override;

    PlaybackController& Controller() { return *controller_; }
    PreviewPicture* Area() const { return area_; }
    PreviewPicture* FullScreenWindow() const { return fullWindow_; }

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;

    // PlaybackView
    int SelectedIndex() const override;
    int EntryCount() const override;
    VideoFileEntry* Entry(int index) override;
    void RefreshRow(int index) override;
    void EnableButtons(bool play, bool others) override;
    void SetPauseCaption(const std::string& caption) override;
    void SetSliderPosition(int position) override;
    std::string TimeLabel() const override;
    void SetTimeLabel(const std::string& text) override;
    void StartTimer(int periodMs) override;
    void KillTimer() override;
    void ShowMessage(const std::string& text) override;
    void ShowHint(const std::string& key, const std::string& text) override;
    void SetKeyboardHook(bool on) override;
    void PresentFrame(FramePtr frame) override;
    void ClearPicture() override;
    void ShowFullScreen(bool show) override;
    void PostGraphNotify() override;
    int TimeFormat() const override;
    ConvertSettings ScriptSettings() const override;
    TrackChoice Tracks(int index) const override;

protected:
    bool event(QEvent* e) override;

private:
    void OnSliderValue(int value);
    // Window thread: shows the picture that waits in the mailbox.
    void TakeFrame();

    CAddFilePage* page_;
    QPushButton* play_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* setStart_ = nullptr;
    QPushButton* setEnd_ = nullptr;
    QPushButton* fullScreen_ = nullptr;
    QSlider* slider_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    PreviewPicture* area_ = nullptr;
    QTimer* timer_ = nullptr;
    QPointer<PreviewPicture> fullWindow_;
    // The newest picture from the streaming thread, and whether a call to
    // take it is already queued: pictures that come faster than the window
    // thread draws replace each other instead of piling up.
    std::mutex mailLock_;
    FramePtr mail_;
    bool mailPosted_ = false;
    bool settingSlider_ = false;
    std::unique_ptr<PlaybackController> controller_;
};

}  // namespace kalvex
