#pragma once
// What the user is told when a source's script cannot be opened: with the
// K-Lite Mega codec pack installed the failure text itself, otherwise the
// offer to download and install a codec pack. The offer is a window, so the
// window layer installs it; without one the failure text is shown.
#include <functional>
#include <string>

namespace kalvex {

// Shows text ("Open failure:\n...") in a box titled "Error!" with a warning
// icon when KLiteCodecPackIsMega(), else runs the codec-pack offer. Runs on
// the window thread (a worker waits for it).
void ReportSourceOpenFailure(const std::string& text);

// Installs the codec-pack offer (run modally); empty restores the box.
void SetCodecPackOffer(std::function<void()> offer);

}  // namespace kalvex
