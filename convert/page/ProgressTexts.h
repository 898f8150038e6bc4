#pragma once
#include <optional>
#include <string>

#include "convert/ConvertProgress.h"

namespace kalvex {

// The texts a conversion's progress is shown with, in the Convert page and
// on the command line alike.
std::string StatusText(const ConvertProgress& p);    // "Converting %s, %d/%d, %0.2f fps"
std::string ElapsedText(const ConvertProgress& p);   // "Elapse: %02d:%02d:%02d"
std::string EstimateText(const ConvertProgress& p);  // "Estimate: %02d:%02d:%02d"
std::string FilesText(const ConvertProgress& p);     // "Files: %d/%d"
std::string TitleText(const ConvertProgress& p);     // "%d%% - Converting"

// A failure the user is told about in a box of its own: the conversion
// script could not be written ("Error"), or the engine could not open it
// and said why ("Error!", where the codec-pack offer applies).
struct FailureBox {
    std::string text;
    std::string caption;
    bool codecPackOffer = false;
};
// The box a file's failure is shown in; nothing for the other failures.
std::optional<FailureBox> FailureBoxFor(const FileResult& r);

}  // namespace kalvex
