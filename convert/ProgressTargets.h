#pragma once
#include <QObject>
#include <mutex>
#include <string>

#include "platform/messages/Messages.h"

namespace kalvex {

// Control messages the worker sends to the window targets (Windows values).
constexpr unsigned WM_SETTEXT = 0x000C;            // lParam: const char*, valid during the send
constexpr unsigned PBM_SETRANGE32 = WM_USER + 6;   // wParam: low, lParam: high
constexpr unsigned PBM_SETPOS = WM_USER + 2;       // wParam: position

// The controls that show a run's progress, in this order. Each is a window
// target: a widget (a QProgressBar, a QLabel, ...) or any QObject that
// handles the messages above as an IMessageTarget (see TextControl). Null
// targets are skipped. Copied by value into the encoder.
struct ProgressTargets {
    QObject* filesBar = nullptr;      // range 0 .. number of files, position = file number (1-based)
    QObject* frameBar = nullptr;      // range 0 .. 100, position = percent of the current file
    QObject* statusText = nullptr;    // "Converting %s, %d/%d, %0.2f fps"
    QObject* elapsedText = nullptr;   // "Elapse: %02d:%02d:%02d"
    QObject* estimateText = nullptr;  // "Estimate: %02d:%02d:%02d"
    QObject* filesText = nullptr;     // "Files: %d/%d"
    QObject* extraText = nullptr;     // carried along, never written
    QObject* tickWindow = nullptr;    // receives WM_CONVERT_TICK about once a second
};

// Blocking "sends" from any thread; they return once the target's thread has
// handled them. An IMessageTarget gets the message itself; a widget gets the
// matching property set ("minimum"/"maximum", "value", "text").
void SendProgressRange(QObject* target, int low, int high);
void SendProgressPos(QObject* target, int pos);
void SendControlText(QObject* target, const std::string& text);

// The application's main window, which takes the "%d%% - Converting" title
// texts (WM_SET_TITLE_TEXT with a malloc'ed copy that the window frees).
// Set by the main window at its initialisation, or by the headless front end.
void SetAppMainWindow(QObject* window);
QObject* AppMainWindow();

// A control without a window: keeps the last text, range and position sent
// to it. The headless front end and tests use it as a target; it is also
// the message target of a window that wants to see the raw messages.
class TextControl : public QObject, public IMessageTarget {
public:
    explicit TextControl(QObject* parent = nullptr) : QObject(parent) {}
    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;
    std::string Text() const;
    int Pos() const;
    int Low() const;
    int High() const;
    int TextChanges() const;  // WM_SETTEXT messages received
    int PosChanges() const;   // PBM_SETPOS messages received

protected:
    bool event(QEvent* e) override;
    // Called after a message has been stored, on the control's thread.
    virtual void Changed(unsigned msg) {}

private:
    mutable std::mutex mutex_;
    std::string text_;
    int pos_ = 0, low_ = 0, high_ = 100;
    int textChanges_ = 0, posChanges_ = 0;
};

}  // namespace kalvex
