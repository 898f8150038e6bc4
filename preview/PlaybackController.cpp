#include "preview/PlaybackController.h"

#include "common/ProgramLog.h"
#include "media/TimeText.h"
#include "preview/GraphHelper.h"

namespace kalvex {

PlaybackController::PlaybackController(PlaybackView& view) : view_(view) {}

PlaybackController::~PlaybackController() {
    if (fullScreen_) view_.SetKeyboardHook(false);
    graph_.reset();
}

int PlaybackController::SliderPosition(int64_t position, int64_t length) {
    if (length == 0) return 0;
    return int(position * 1000 / length);
}

int64_t PlaybackController::SliderTime(int position, int64_t length) {
    return int64_t(position / 1000.0 * double(length));
}

void PlaybackController::Play() {
    if (playing_) return;
    const int index = view_.SelectedIndex();
    if (index < 0 || index >= view_.EntryCount()) return;
    const VideoFileEntry entry = *view_.Entry(index);
    graph_.reset();
    graph_ = std::make_unique<GraphHelper>();
    bool ok = graph_->OpenPreview(entry, view_.ScriptSettings(), view_.Tracks(index));
    if (ok) {
        graph_->SetFrameCallback([this](FramePtr frame) { view_.PresentFrame(std::move(frame)); });
        // A graph that cannot start plays nothing: told like a failed open.
        ok = graph_->Run([this] { view_.PostGraphNotify(); });
    }
    if (!ok) {
        graph_.reset();
        view_.ShowMessage(kCantPlay);
        return;
    }
    playing_ = true;
    rangeLength_ = entry.endTime - entry.startTime;
    playingIndex_ = index;
    playingPath_ = FieldText(entry.fullPath);
    const bool trimmed = !(entry.startTime == 0 && entry.endTime == entry.mediaInfo.duration);
    trimOffset_ = trimmed ? entry.startTime : 0;
    view_.StartTimer(kTimerMs);
    paused_ = false;
    UpdateButtons();
}

void PlaybackController::Stop() {
    if (!playing_) return;
    graph_->Stop();
    if (fullScreen_) {
        fullScreen_ = false;
        view_.SetKeyboardHook(false);
        view_.ShowFullScreen(false);
    }
    playing_ = false;
    // The stopped movie stands at its beginning.
    view_.SetSliderPosition(0);
    const int format = view_.TimeFormat();
    const std::string text = TimeText(0, format) + "/" + TimeText(rangeLength_, format);
    if (view_.TimeLabel().substr(0, 24) != text.substr(0, 24)) view_.SetTimeLabel(text);
    view_.KillTimer();
    // Releasing the graph ends its streaming threads; after that no picture
    // arrives, and the area goes black as a stopped movie's does.
    graph_.reset();
    view_.ClearPicture();
    paused_ = false;
    view_.SetPauseCaption("Pa&use");
    playingIndex_ = -1;
    playingPath_.clear();
    UpdateButtons();
}

void PlaybackController::Resume() {
    graph_->Run([this] { view_.PostGraphNotify(); });
    paused_ = false;
    view_.SetPauseCaption("Pa&use");
}

void PlaybackController::PauseButton() {
    if (!playing_) return;
    if (!paused_) {
        graph_->Pause();
        paused_ = true;
        view_.SetPauseCaption("Resume");
    } else {
        Resume();
    }
    UpdateButtons();
}

void PlaybackController::SliderScroll(int code, int position) {
    if (!playing_ || !graph_) return;
    if (code == TB_ENDTRACK) {
        // The end of a drag plays again, also after the Pause button.
        if (paused_) Resume();
        UpdateButtons();
        return;
    }
    if (code == TB_THUMBTRACK && !paused_) {
        graph_->Pause();
        paused_ = true;
    }
    const int64_t time = SliderTime(position, rangeLength_);
    graph_->Seek(time);
    RefreshTimeLabel(time);
}

void PlaybackController::TimerTick() {
    if (!graph_) return;
    int64_t position = 0;
    if (!graph_->CurrentPosition(&position)) return;
    view_.SetSliderPosition(SliderPosition(position, rangeLength_));
    RefreshTimeLabel(position);
}

void PlaybackController::RefreshTimeLabel(int64_t time) {
    if (time == 0) {
        if (!graph_ || !graph_->CurrentPosition(&time)) return;
    }
    const int format = view_.TimeFormat();
    const std::string text = TimeText(time, format) + "/" + TimeText(rangeLength_, format);
    // Rewritten only when it changes, so the label does not flicker.
    if (view_.TimeLabel().substr(0, 24) != text.substr(0, 24)) view_.SetTimeLabel(text);
}

void PlaybackController::GraphEvent() {
    while (graph_) {
        const int code = graph_->NextEvent();
        if (code == 0) return;
        if (code == EC_COMPLETE) {
            Stop();
            return;
        }
    }
}

void PlaybackController::FullScreenButton() {
    if (!playing_ || fullScreen_) return;
    view_.ShowHint("FullScreen", kFullScreenHint);
    if (!playing_) return;  // the movie may have ended while the hint was up
    view_.SetKeyboardHook(true);
    view_.ShowFullScreen(true);
    fullScreen_ = true;
}

void PlaybackController::HookKeyPress() {
    if (!fullScreen_) return;
    fullScreen_ = false;
    view_.SetKeyboardHook(false);
    view_.ShowFullScreen(false);
}

// The entry being previewed and the playing position in movie time. False
// (after telling the user where needed) when there is none.
bool PlaybackController::PlayingEntry(VideoFileEntry** entry, int64_t* position) {
    const int index = playingIndex_;
    // The list may have changed under the playback: the row must still hold
    // the file that plays.
    if (index < 0 || index >= view_.EntryCount() || FieldText(view_.Entry(index)->fullPath) != playingPath_) {
        view_.ShowMessage(kSelectFirst);
        return false;
    }
    if (!graph_ || !graph_->CurrentPosition(position)) return false;
    *position += trimOffset_;
    *entry = view_.Entry(index);
    return true;
}

void PlaybackController::SetStartTime() {
    VideoFileEntry* e = nullptr;
    int64_t position = 0;
    if (!PlayingEntry(&e, &position)) return;
    e->startTime = position;
    if (e->startTime > e->endTime) e->endTime = e->startTime;
    view_.RefreshRow(playingIndex_);
}

void PlaybackController::SetEndTime() {
    VideoFileEntry* e = nullptr;
    int64_t position = 0;
    if (!PlayingEntry(&e, &position)) return;
    e->endTime = position;
    if (e->startTime > e->endTime) e->startTime = e->endTime;
    view_.RefreshRow(playingIndex_);
}

void PlaybackController::UpdateButtons() {
    if (playing_) {
        view_.EnableButtons(false, true);
    } else {
        const int index = view_.SelectedIndex();
        view_.EnableButtons(index >= 0 && index < view_.EntryCount(), false);
    }
}

}  // namespace kalvex
