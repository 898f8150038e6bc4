// The test programs' download key: linked into every test program where the
// program itself links its release key (platform/download/ReleaseKey.cpp).
#include "platform/download/SignedDownload.h"
#include "tests/support/TestSigningKey.h"

namespace kalvex {

const DownloadKey& DownloadPublicKey() {
    static const DownloadKey key = [] {
        DownloadKey k;
        ParseDownloadKey(test::kTestPublicKeyHex, &k);
        return k;
    }();
    return key;
}

}  // namespace kalvex
