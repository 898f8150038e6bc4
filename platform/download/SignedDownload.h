#pragma once
// Downloads that are kept only when a detached Ed25519 signature made with
// the program's release key verifies: the file at URL + ".sig" holds the 64
// signature bytes of the file at URL. libsodium checks the signature.
#include <array>
#include <cstddef>
#include <functional>
#include <string>

#include "platform/download/UrlDownload.h"

namespace kalvex {

constexpr size_t kSignatureBytes = 64;
constexpr size_t kPublicKeyBytes = 32;

struct DownloadKey {
    std::array<unsigned char, kPublicKeyBytes> bytes{};
    bool present = false;
};

// Reads a key written as 64 hexadecimal digits (either case). False, and no
// key, for any other text (the empty text included).
bool ParseDownloadKey(const std::string& hex, DownloadKey* key);

// The key downloads are checked against. It is fixed when the program is
// linked: the program itself carries the release key given to the build
// (CMake option KALVEX_RELEASE_PUBLIC_KEY; without one no download
// verifies), the test programs a test key. Nothing read at run time changes it.
const DownloadKey& DownloadPublicKey();

// URL + ".sig".
std::string SignatureUrl(const std::string& url);

// Bounds of the signature download: 64 bytes are expected, so an answer
// above 4 KiB is refused, and the whole exchange takes at most 20 s.
DownloadLimits SignatureDownloadLimits();

// Checks that `signature` is a detached Ed25519 signature of the bytes of
// `file` made with `key`. Empty when it is; otherwise the reason, for the log.
std::string CheckFileSignature(const std::string& file, const std::string& signature, const DownloadKey& key);

enum class DownloadEnd {
    Verified,     // the file is in place and its signature verified
    Failed,       // the file could not be downloaded (or put in place)
    Stopped,      // the callback or the stop request ended it
    NotVerified,  // downloaded, but the signature is missing or bad: deleted
};

struct SignedDownloadResult {
    DownloadEnd end = DownloadEnd::Failed;
    urlmon::HRESULT hr = urlmon::E_FAIL;  // of the failed step, S_OK when verified
    std::string reason;                   // what went wrong, for the log
};

// Downloads url under a temporary name beside `file` (progress to callback,
// bounded by limits), then SignatureUrl(url), and checks the signature with
// key. Only a verified file is renamed to `file`; in every other case the
// download is deleted and `file` stays as it was. `stop`, when given, is
// asked during the signature download as the callback is during the file's.
SignedDownloadResult DownloadSigned(const std::string& url, const std::string& file, IBindStatusCallback* callback,
                                    const DownloadLimits& limits, const DownloadKey& key,
                                    const std::function<bool()>& stop = {});

}  // namespace kalvex
