#pragma once
// The Video Files page's playback controls wired to the playback logic: the
// page's buttons, slider, time label and video area drive a
// PlaybackController, which answers through the PlaybackView calls here.
#include <QObject>
#include <QPointer>
#include <memory>

#include "platform/messages/Messages.h"
#include "preview/PlaybackController.h"

class QLabel;
class QPushButton;
class QSlider;
class QTimer;
class QWidget;

namespace kalvex {

class CAddFilePage;

class PreviewPanel : public QObject, public IMessageTarget, public PlaybackView {
    Q_OBJECT
public:
    explicit PreviewPanel(CAddFilePage* page);
    ~PreviewPanel() override;

    PlaybackController& Controller() { return *controller_; }
    QWidget* FullScreenWindow() const { return fullWindow_; }

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
    uintptr_t VideoWindow(int* width, int* height) override;
    uintptr_t ShowFullScreenWindow(bool show, int* width, int* height) override;
    void PostGraphNotify() override;
    int TimeFormat() const override;
    ConvertSettings ScriptSettings() const override;
    TrackChoice Tracks(int index) const override;

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void OnSliderValue(int value);

    CAddFilePage* page_;
    QPushButton* play_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* setStart_ = nullptr;
    QPushButton* setEnd_ = nullptr;
    QPushButton* fullScreen_ = nullptr;
    QSlider* slider_ = nullptr;
    QLabel* timeLabel_ = nullptr;
    QLabel* area_ = nullptr;
    QTimer* timer_ = nullptr;
    QPointer<QWidget> fullWindow_;
    bool settingSlider_ = false;
    std::unique_ptr<PlaybackController> controller_;
};

}  // namespace kalvex
