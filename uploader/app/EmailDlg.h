#pragma once
#include <QDialog>

class QLineEdit;
class QPushButton;

namespace kalvex::dravel {

// Asks once for the user's e-mail address. OK is enabled as soon as the text
// looks like an address and stays enabled; Cancel, Escape and the close box
// do nothing, so an address must be given.
class CEmailDlg : public QDialog {
    Q_OBJECT
public:
    explicit CEmailDlg(QWidget* parent = nullptr);
    QString Email() const { return email_; }

    void reject() override {}

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void OnChange(const QString& text);
    void OnOK();

    QLineEdit* edit_;
    QPushButton* ok_;
    QString email_;
};

}  // namespace kalvex::dravel
