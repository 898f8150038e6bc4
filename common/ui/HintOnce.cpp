#include "common/ui/HintOnce.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

#include "common/AppSettings.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"

namespace kalvex {
namespace {
std::function<bool(const QString&, const QString&)> g_hook;
}

CNotifyWindow::CNotifyWindow(const QString& text, QWidget* parent) : QDialog(parent) {
    setObjectName("138");
    setWindowTitle("Hint");
    auto* layout = new QVBoxLayout(this);
    text_ = new QLabel(text, this);
    text_->setWordWrap(true);
    check_ = new QCheckBox("Don't show this hint next time", this);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(text_);
    layout->addWidget(check_);
    layout->addWidget(buttons);
}

bool CNotifyWindow::DontShowAgain() const { return check_->isChecked(); }

void SetHintDialogHook(std::function<bool(const QString&, const QString&)> hook) { g_hook = std::move(hook); }

bool ShowHintOnce(const QString& key, const QString& text) {
    std::string k = key.toStdString();
    if (GetPrivateProfileInt("Hint", k, 1, SettingsPath()) == 0) return false;
    bool dontShow;
    if (g_hook) {
        dontShow = g_hook(key, text);
    } else {
        CNotifyWindow dlg(text, MessageBoxOwner());
        dlg.exec();
        dontShow = dlg.DontShowAgain();
    }
    if (dontShow) WritePrivateProfileString("Hint", k, "0", SettingsPath());
    return true;
}

}  // namespace kalvex
