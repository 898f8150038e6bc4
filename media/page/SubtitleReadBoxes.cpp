#include "media/page/SubtitleReadBoxes.h"

#include "common/ui/Dialogs.h"

namespace kalvex {

SubtitleReadReport SubtitleReadBoxes() {
    SubtitleReadReport report;
    report.failed = [](const std::string&, const SubtitleReadError& error) {
        switch (error.kind) {
        case SubtitleReadError::SyntaxError:
            MessageBox(error.text, kAppCaption, MB_OK | MB_ICONERROR);
            break;
        case SubtitleReadError::WrongVersion:
            MessageBox(error.text);
            break;
        case SubtitleReadError::None:
            break;
        }
    };
    report.unknownStyle = [](const std::string&, const QString& style) {
        const QString text = QString("Unknown style found: \"%1\", changed to \"Default\"!\n\n"
                                     "Press Cancel to ignore further warnings.")
                                 .arg(style);
        // Anything but OK stops the warnings for the rest of the file.
        return MessageBox(text, "Warning", MB_OKCANCEL | MB_ICONWARNING) == IDOK;
    };
    return report;
}

}  // namespace kalvex
