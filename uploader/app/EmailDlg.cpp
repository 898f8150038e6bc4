#include "uploader/app/EmailDlg.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/shell/Shell.h"
#include "uploader/app/DravelCore.h"
#include "uploader/app/DravelIds.h"

namespace kalvex::dravel {

CEmailDlg::CEmailDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(IDD_EMAIL);
    setWindowTitle(kAppCaption);
    setModal(true);
    auto* text = new QLabel("Please leave us an Email, we can contact you after we solved the problem:", this);
    text->setObjectName(IDC_EMAIL_TEXT);
    text->setWordWrap(true);
    edit_ = new QLineEdit(this);
    edit_->setObjectName(IDC_EMAIL);
    edit_->setMaxLength(259);
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName(IDOK_BUTTON);
    ok_->setEnabled(false);
    ok_->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName(IDCANCEL_BUTTON);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(edit_);
    layout->addLayout(buttons);

    connect(edit_, &QLineEdit::textChanged, this, &CEmailDlg::OnChange);
    connect(ok_, &QPushButton::clicked, this, &CEmailDlg::OnOK);
    connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
}

void CEmailDlg::closeEvent(QCloseEvent* e) { e->ignore(); }

void CEmailDlg::OnChange(const QString& text) {
    // Once enabled, OK stays enabled.
    if (LooksLikeEmail(text.toStdString())) ok_->setEnabled(true);
}

void CEmailDlg::OnOK() {
    email_ = edit_->text().left(259);
    accept();
}

}  // namespace kalvex::dravel
