// The release key the program checks its downloads against, given to the
// build as 64 hexadecimal digits (CMake option KALVEX_RELEASE_PUBLIC_KEY).
// Only the program links this file; the test programs link a test key of
// their own in its place.
#include "platform/download/SignedDownload.h"

#ifndef KALVEX_RELEASE_PUBLIC_KEY
#define KALVEX_RELEASE_PUBLIC_KEY ""
#endif

namespace kalvex {

const DownloadKey& DownloadPublicKey() {
    static const DownloadKey key = [] {
        DownloadKey k;
        ParseDownloadKey(KALVEX_RELEASE_PUBLIC_KEY, &k);
        return k;
    }();
    return key;
}

}  // namespace kalvex
