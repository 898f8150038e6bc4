#include "app/CLinkStatic.h"

#include <QMouseEvent>

#include "common/ui/Dialogs.h"

namespace kalvex {

CLinkStatic::CLinkStatic(QWidget* parent) : QLabel(QString(kAddress), parent) {
    QFont f("Arial");
    f.setPixelSize(16);
    f.setItalic(true);
    f.setUnderline(true);
    f.setWeight(QFont::Normal);
    setFont(f);
    setObjectName("link");
    SetHot(false);
    adjustSize();  // the active rectangle is exactly the text
    setCursor(Qt::PointingHandCursor);
}

void CLinkStatic::SetHot(bool hot) {
    hot_ = hot;
    setStyleSheet(hot ? "color: rgb(255,0,0);" : "color: rgb(0,0,128);");
}

void CLinkStatic::enterEvent(QEnterEvent* e) {
    SetHot(true);
    QLabel::enterEvent(e);
}

void CLinkStatic::leaveEvent(QEvent* e) {
    SetHot(false);
    QLabel::leaveEvent(e);
}

void CLinkStatic::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) ShellOpen(kAddress);
    QLabel::mouseReleaseEvent(e);
}

}  // namespace kalvex
