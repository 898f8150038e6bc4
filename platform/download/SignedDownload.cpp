#include "platform/download/SignedDownload.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kalvex {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// True when the bytes look like text a web server sends instead of a file
// (an error page): printable characters and line ends only.
bool LooksLikeText(const std::string& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](unsigned char c) {
        return c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c < 0x7F);
    });
}

// Asks `stop` in every progress report of the signature download.
class StopOnly : public IBindStatusCallback {
public:
    explicit StopOnly(const std::function<bool()>& stop) : stop_(stop) {}
    urlmon::HRESULT OnProgress(uint32_t, uint32_t) override {
        if (stop_ && stop_()) {
            stopped = true;
            return urlmon::E_ABORT;
        }
        return urlmon::S_OK;
    }
    bool stopped = false;

private:
    const std::function<bool()>& stop_;
};

std::string HexCode(urlmon::HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", unsigned(hr));
    return buf;
}

}  // namespace

bool ParseDownloadKey(const std::string& hex, DownloadKey* key) {
    *key = DownloadKey{};
    if (hex.size() != 2 * kPublicKeyBytes) return false;
    DownloadKey k;
    for (size_t i = 0; i < kPublicKeyBytes; ++i) {
        int hi = HexValue(hex[2 * i]), lo = HexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        k.bytes[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    k.present = true;
    *key = k;
    return true;
}

std::string SignatureUrl(const std::string& url) { return url + ".sig"; }

DownloadLimits SignatureDownloadLimits() { return DownloadLimits{10000, 10000, 20000, 4096, 10}; }

std::string CheckFileSignature(const std::string& file, const std::string& signature, const DownloadKey& key) {
    if (!key.present) return "no public key is built into this program, so no download can be verified";
    if (signature.empty()) return "the signature file is empty";
    if (signature.size() != kSignatureBytes) {
        std::string what = "the signature file holds " + std::to_string(signature.size()) + " bytes";
        if (LooksLikeText(signature)) what += " of text (" + std::string(signature.find('<') != std::string::npos ? "a web page?" : "not a signature") + ")";
        return what + ", not the " + std::to_string(kSignatureBytes) + " bytes of a signature";
    }
    if (sodium_init() < 0) return "libsodium could not be initialised (sodium_init failed)";

    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "could not open " + file + ": " + std::strerror(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        std::string reason = "could not read the size of " + file + ": " + std::strerror(errno);
        ::close(fd);
        return reason;
    }
    const size_t size = size_t(st.st_size);
    const unsigned char* bytes = nullptr;
    void* mapped = MAP_FAILED;
    static const unsigned char kNothing = 0;
    if (size == 0) {
        bytes = &kNothing;
    } else {
        mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            std::string reason = "could not map " + file + ": " + std::strerror(errno);
            ::close(fd);
            return reason;
        }
        bytes = static_cast<const unsigned char*>(mapped);
    }
    const int verdict = crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()), bytes,
                                                    size, key.bytes.data());
    if (mapped != MAP_FAILED) ::munmap(mapped, size);
    ::close(fd);
    if (verdict != 0) return "the signature does not verify: it was not made for this file with the program's key";
    return {};
}

SignedDownloadResult DownloadSigned(const std::string& url, const std::string& file, IBindStatusCallback* callback,
                                    const DownloadLimits& limits, const DownloadKey& key,
                                    const std::function<bool()>& stop) {
    SignedDownloadResult r;
    // The file takes its own name only once verified; until then it is
    // kept under a name no opener picks up by mistake.
    const std::string staged = file + ".unverified";
    const std::string sigFile = staged + ".sig";
    std::remove(staged.c_str());  // left over from a run that was killed
    std::remove(sigFile.c_str());

    std::string error;
    r.hr = URLDownloadToFile(url, staged, callback, limits, &error);
    if (r.hr != urlmon::S_OK) {
        r.end = r.hr == urlmon::E_ABORT ? DownloadEnd::Stopped : DownloadEnd::Failed;
        r.reason = "download of " + url + " failed (" + HexCode(r.hr) + "): " + error;
        return r;
    }

    const std::string sigUrl = SignatureUrl(url);
    StopOnly sigStop(stop);
    urlmon::HRESULT hr = URLDownloadToFile(sigUrl, sigFile, &sigStop, SignatureDownloadLimits(), &error);
    std::string signature;
    if (hr == urlmon::S_OK) {
        std::ifstream in(sigFile, std::ios::binary);
        if (!in) {
            hr = urlmon::E_FAIL;
            error = "could not read " + sigFile + ": " + std::strerror(errno);
        } else {
            signature.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    std::remove(sigFile.c_str());
    if (hr != urlmon::S_OK) {
        std::remove(staged.c_str());  // no signature: the download goes
        r.hr = hr;
        if (sigStop.stopped) {
            r.end = DownloadEnd::Stopped;
            r.reason = "stopped while downloading the signature " + sigUrl;
        } else {
            r.end = DownloadEnd::NotVerified;
            r.reason = "the signature " + sigUrl + " could not be downloaded (" + HexCode(hr) + "): " + error;
        }
        return r;
    }

    std::string why = CheckFileSignature(staged, signature, key);
    if (!why.empty()) {
        std::remove(staged.c_str());
        r.end = DownloadEnd::NotVerified;
        r.hr = urlmon::E_FAIL;
        r.reason = url + " is not verified: " + why;
        return r;
    }
    if (std::rename(staged.c_str(), file.c_str()) != 0) {
        r.reason = "could not rename " + staged + " to " + file + ": " + std::strerror(errno);
        std::remove(staged.c_str());
        r.end = DownloadEnd::Failed;
        r.hr = urlmon::E_FAIL;
        return r;
    }
    r.end = DownloadEnd::Verified;
    r.hr = urlmon::S_OK;
    return r;
}

}  // namespace kalvex
