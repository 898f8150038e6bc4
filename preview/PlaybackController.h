#pragma once
// The playback logic of the Video Files page, without any window: Play,
// Stop, Pause, the position slider, the time label, the timer, end of movie,
// full screen and setting the trim times from the playing position. The page
// implements PlaybackView and forwards its controls' events here.
#include <cstdint>
#include <memory>
#include <string>

#include "convert/ConvertSettings.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"
#include "preview/PreviewFrame.h"

namespace kalvex {

class GraphHelper;

// Scroll codes of the position slider (a trackbar's WM_HSCROLL codes).
enum SliderCode {
    TB_LINEUP = 0, TB_LINEDOWN = 1, TB_PAGEUP = 2, TB_PAGEDOWN = 3, TB_THUMBPOSITION = 4,
    TB_THUMBTRACK = 5, TB_TOP = 6, TB_BOTTOM = 7, TB_ENDTRACK = 8,
};

// Messages of the page: graph events and the keyboard hook's key press.
constexpr unsigned WM_GRAPH_NOTIFY = 0x0400 + 600;
constexpr unsigned WM_HOOK_KEY = 0x0400 + 500;

class PlaybackView {
public:
    virtual ~PlaybackView() = default;
    // The list.
    virtual int SelectedIndex() const = 0;  // first selected row, -1 for none
    virtual int EntryCount() const = 0;
    virtual VideoFileEntry* Entry(int index) = 0;
    virtual void RefreshRow(int index) = 0;  // Begin and Length shown again
    // The controls.
    virtual void EnableButtons(bool play, bool others) = 0;  // others: Stop, Pause, Set Start/End, FullScreen, slider
    virtual void SetPauseCaption(const std::string& caption) = 0;
    virtual void SetSliderPosition(int position) = 0;
    virtual std::string TimeLabel() const = 0;
    virtual void SetTimeLabel(const std::string& text) = 0;
    virtual void StartTimer(int periodMs) = 0;
    virtual void KillTimer() = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    virtual void ShowHint(const std::string& key, const std::string& text) = 0;
    virtual void SetKeyboardHook(bool on) = 0;
    // Called on a streaming thread with each picture of the playing movie
    // when it is due; the view draws the latest one scaled into its video
    // area (and into the full-screen window while that shows).
    virtual void PresentFrame(FramePtr frame) = 0;
    // The movie stopped: the video area shows no picture.
    virtual void ClearPicture() = 0;
    // Shows the full-screen window with the current picture at once (also
    // while paused), or hides it.
    virtual void ShowFullScreen(bool show) = 0;
    // Called from any thread: post WM_GRAPH_NOTIFY to the page.
    virtual void PostGraphNotify() = 0;
    // The settings, read when they are used: the display time format of the
    // time label (see TimeText) and the output settings the preview's script
    // is written with.
    virtual int TimeFormat() const = 0;
    virtual ConvertSettings ScriptSettings() const = 0;
    // The sound and subtitle tracks chosen for the entry at index.
    virtual TrackChoice Tracks(int /*index*/) const { return {}; }
};

class PlaybackController {
public:
    static constexpr const char* kCantPlay = "Can't play movie.";
    static constexpr const char* kSelectFirst = "Please select movie first.";
    static constexpr const char* kFullScreenHint = "You can press any key to exit full screen playback mode.";
    static constexpr int kTimerMs = 1000;

    explicit PlaybackController(PlaybackView& view);
    ~PlaybackController();

    void Play();
    void Stop();
    void PauseButton();
    void SliderScroll(int code, int position);
    void TimerTick();
    // Shows "time/length"; time 0 means the current position.
    void RefreshTimeLabel(int64_t time);
    void GraphEvent();
    void FullScreenButton();
    void HookKeyPress();
    void SetStartTime();
    void SetEndTime();
    void UpdateButtons();

    bool Playing() const { return playing_; }
    bool Paused() const { return paused_; }
    bool FullScreen() const { return fullScreen_; }
    int PlayingIndex() const { return playingIndex_; }
    int64_t PlayRangeLength() const { return rangeLength_; }
    GraphHelper* Graph() const { return graph_.get(); }

    // Slider position for a time, and time for a slider position.
    static int SliderPosition(int64_t position, int64_t length);
    static int64_t SliderTime(int position, int64_t length);

private:
    bool PlayingEntry(VideoFileEntry** entry, int64_t* position);
    void Resume();

    PlaybackView& view_;
    std::unique_ptr<GraphHelper> graph_;
    bool playing_ = false;
    bool paused_ = false;
    bool fullScreen_ = false;
    int playingIndex_ = -1;
    int64_t rangeLength_ = 0;
    // Where the playing script begins in the movie: a trimmed entry plays
    // from its start time, so positions are counted from there.
    int64_t trimOffset_ = 0;
    std::string playingPath_;
};

}  // namespace kalvex
