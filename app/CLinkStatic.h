#pragma once
#include <QLabel>

namespace kalvex {

// The product web address on the main window: navy, red while the mouse is
// over it, hand cursor inside, opened through the shell on a left click.
class CLinkStatic : public QLabel {
    Q_OBJECT
public:
    static constexpr const char* kAddress = "http://www.tesmora.net/";
    explicit CLinkStatic(QWidget* parent);
    bool IsHot() const { return hot_; }

protected:
    void enterEvent(QEnterEvent* e) override;
    void leaveEvent(QEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    void SetHot(bool hot);
    bool hot_ = false;
};

}  // namespace kalvex
