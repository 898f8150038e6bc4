#include "media/page/CModifyTimeDlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "media/VideoFileEntry.h"
#include "resources/resource.h"

namespace kalvex {

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;

QLineEdit* MakeBox(int id, QWidget* parent) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(res::ObjectName(id));
    // Digits (and a sign, since a length may come out negative); nine at
    // most, so minutes x 60 + seconds never overflows.
    box->setValidator(new QRegularExpressionValidator(QRegularExpression("-?[0-9]{0,9}"), box));
    box->setMaxLength(10);
    box->setFixedWidth(60);
    return box;
}

QGroupBox* MakeGroup(const QString& title, QLineEdit* minutes, QLineEdit* seconds, QWidget* parent) {
    auto* group = new QGroupBox(title, parent);
    auto* grid = new QGridLayout(group);
    grid->addWidget(minutes, 0, 0);
    grid->addWidget(new QLabel("min", group), 0, 1);
    grid->addWidget(seconds, 0, 2);
    grid->addWidget(new QLabel("sec", group), 0, 3);
    return group;
}

}  // namespace

CModifyTimeDlg::CModifyTimeDlg(int64_t startSeconds, int64_t endSeconds, QWidget* parent)
    : QDialog(parent), start_(startSeconds), end_(endSeconds), length_(endSeconds - startSeconds) {
    setObjectName(res::ObjectName(res::IDD_MODIFY_TIME));
    setWindowTitle("Modify Time");
    startMin_ = MakeBox(res::IDC_START_MINUTES, this);
    startSec_ = MakeBox(res::IDC_START_SECONDS, this);
    endMin_ = MakeBox(res::IDC_END_MINUTES, this);
    endSec_ = MakeBox(res::IDC_END_SECONDS, this);
    lengthMin_ = MakeBox(res::IDC_LENGTH_MINUTES, this);
    lengthSec_ = MakeBox(res::IDC_LENGTH_SECONDS, this);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeGroup("Start Time", startMin_, startSec_, this));
    layout->addWidget(MakeGroup("End Time", endMin_, endSec_, this));
    layout->addWidget(MakeGroup("Length", lengthMin_, lengthSec_, this));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText("OK");
    buttons->button(QDialogButtonBox::Ok)->setObjectName(res::ObjectName(1));
    buttons->button(QDialogButtonBox::Cancel)->setText("Cancel");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(res::ObjectName(2));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    writing_ = true;
    Show(startMin_, startSec_, start_);
    Show(endMin_, endSec_, end_);
    Show(lengthMin_, lengthSec_, length_);
    writing_ = false;

    for (QLineEdit* box : {startMin_, startSec_, endMin_, endSec_})
        connect(box, &QLineEdit::textChanged, this, &CModifyTimeDlg::StartOrEndEdited);
    for (QLineEdit* box : {lengthMin_, lengthSec_})
        connect(box, &QLineEdit::textChanged, this, &CModifyTimeDlg::LengthEdited);
}

QLineEdit* CModifyTimeDlg::Box(int id) const {
    return findChild<QLineEdit*>(res::ObjectName(id));
}

int64_t CModifyTimeDlg::ReadNumber(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    const char* p = bytes.constData();
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    int64_t value = 0;
    for (int digits = 0; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > 9) break;  // the boxes hold nine digits; more could overflow the times
        value = value * 10 + (*p - '0');
    }
    return negative ? -value : value;
}

int64_t CModifyTimeDlg::Seconds(QLineEdit* minutes, QLineEdit* seconds) const {
    return ReadNumber(minutes->text()) * 60 + ReadNumber(seconds->text());
}

void CModifyTimeDlg::Show(QLineEdit* minutes, QLineEdit* seconds, int64_t value) {
    // Whole division toward zero; a box already showing the text is left alone.
    const QString m = QString::number(value / 60);
    const QString s = QString::number(value % 60);
    if (minutes->text() != m) minutes->setText(m);
    if (seconds->text() != s) seconds->setText(s);
}

// The boxes this dialog writes itself cause no further recomputation, so one
// edit leads to exactly one update of the dependent boxes.
void CModifyTimeDlg::StartOrEndEdited() {
    if (writing_) return;
    start_ = Seconds(startMin_, startSec_);
    end_ = Seconds(endMin_, endSec_);
    length_ = end_ - start_;
    writing_ = true;
    Show(lengthMin_, lengthSec_, length_);
    writing_ = false;
}

void CModifyTimeDlg::LengthEdited() {
    if (writing_) return;
    start_ = Seconds(startMin_, startSec_);
    length_ = Seconds(lengthMin_, lengthSec_);
    end_ = start_ + length_;
    writing_ = true;
    Show(endMin_, endSec_, end_);
    writing_ = false;
}

bool CModifyTimeDlg::Edit(VideoFileEntry& entry, QWidget* parent) {
    CModifyTimeDlg dlg(entry.startTime / kUnitsPerSecond, entry.endTime / kUnitsPerSecond, parent);
    if (dlg.exec() != QDialog::Accepted) return false;
    entry.startTime = dlg.Start() * kUnitsPerSecond;
    entry.endTime = dlg.End() * kUnitsPerSecond;
    return true;
}

}  // namespace kalvex
