#pragma once
#include <QDialog>
#include <QString>
#include <functional>

class QCheckBox;
class QLabel;

namespace kalvex {

// The modal hint dialog (dialog 138, "Hint") with the check box
// "Don't show this hint next time".
class CNotifyWindow : public QDialog {
    Q_OBJECT
public:
    explicit CNotifyWindow(const QString& text, QWidget* parent = nullptr);
    bool DontShowAgain() const;
    QCheckBox* checkBox() const { return check_; }

private:
    QLabel* text_;
    QCheckBox* check_;
};

// Shows the hint unless the integer under `key` in section Hint of set.ini
// is 0; writes "0" there when the user ticks the check box. True when the
// hint was shown.
bool ShowHintOnce(const QString& key, const QString& text);

// Seam for tests: replaces the dialog; returns whether "don't show" was ticked.
void SetHintDialogHook(std::function<bool(const QString& key, const QString& text)> hook);

}  // namespace kalvex
