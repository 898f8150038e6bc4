#pragma once
#include <QDialog>
#include <cstdint>

class QLineEdit;

namespace kalvex {

struct VideoFileEntry;

// "Modify Time" (dialog 137): the trim range of one entry in whole minutes
// and seconds. Start, end and length (= end - start) are kept in whole
// seconds; every edit of a start or end box recomputes the length, every
// edit of a length box recomputes the end. Text that is no number reads as 0.
class CModifyTimeDlg : public QDialog {
    Q_OBJECT
public:
    // start and end in whole seconds.
    CModifyTimeDlg(int64_t startSeconds, int64_t endSeconds, QWidget* parent = nullptr);

    int64_t Start() const { return start_; }
    int64_t End() const { return end_; }
    int64_t Length() const { return length_; }

    QLineEdit* Box(int id) const;  // by control id (1051, 1052, 1022, 1023, 1024, 1025)

    // A box's text as a decimal integer: optional blanks and sign, then the
    // leading digits; 0 when there are none.
    static int64_t ReadNumber(const QString& text);

    // Runs the dialog for the entry (times cut to whole seconds). On OK the
    // entry gets start x 10,000,000 and end x 10,000,000 and true comes back;
    // Cancel leaves it unchanged.
    static bool Edit(VideoFileEntry& entry, QWidget* parent);

private:
    void StartOrEndEdited();
    void LengthEdited();
    int64_t Seconds(QLineEdit* minutes, QLineEdit* seconds) const;
    void Show(QLineEdit* minutes, QLineEdit* seconds, int64_t value);

    int64_t start_, end_, length_;
    QLineEdit* startMin_;
    QLineEdit* startSec_;
    QLineEdit* endMin_;
    QLineEdit* endSec_;
    QLineEdit* lengthMin_;
    QLineEdit* lengthSec_;
    bool writing_ = false;
};

}  // namespace kalvex
