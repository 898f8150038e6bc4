#pragma once
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

}  // namespace kalvex
