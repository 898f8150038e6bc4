// Stand-in for the AC3Filter audio decoder's library. The converter only
// tells it which speaker mask to use (5: stereo front left and right), which
// the decoder keeps in its default preset.
#include "platform/ac3filter/ac3filter.h"

#include "platform/registry/RegistryStore.h"

extern "C" int SetMaskValue(int mask) {
    auto key = kalvex::RegistryKey::Open(kalvex::RegRoot::CurrentUser,
                                         "Software\\Harnick\\AC3Filter\\preset\\Default", false, true);
    if (!key) return 0;
    return key->SetDword("spk", static_cast<uint32_t>(mask)) ? 1 : 0;
}
