#include "convert/psp/PspFit.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "convert/psp/FormatSize.h"
#include "platform/storage/Storage.h"
#include "platform/system/SystemError.h"

namespace kalvex {

namespace {

constexpr int64_t kUnitsPerSecond = 10000000;  // 100-ns units

int64_t RoundUpTo(int64_t bytes, int64_t unit) {
    if (bytes <= 0) return 0;
    return (bytes + unit - 1) / unit * unit;
}

int64_t Cluster(int64_t clusterBytes) { return clusterBytes > 0 ? clusterBytes : PspFit::kDefaultClusterBytes; }

}  // namespace

int64_t PspFit::FileBytes(const PspFitFile& file, int videoBitrate, int audioBitrate, int64_t clusterBytes) {
    const int64_t cluster = Cluster(clusterBytes);
    const int64_t duration = file.duration > 0 ? file.duration : 0;
    // Media: (video + audio) kbit/s as bytes a second, for 3 % more than the
    // running time and one second on top, rounded up to a whole byte.
    const int64_t bytesPerSecond = (int64_t(std::max(videoBitrate, 0)) + std::max(audioBitrate, 0)) * 1000 / 8;
    const __int128 span = __int128(duration) * kRatePercent / 100 + __int128(kExtraRateSeconds) * kUnitsPerSecond;
    const __int128 media128 = (__int128(bytesPerSecond) * span + kUnitsPerSecond - 1) / kUnitsPerSecond;
    const int64_t media = media128 > INT64_MAX / 4 ? INT64_MAX / 4 : int64_t(media128);

    // Sample tables: a bound per picture and per sound frame.
    const double fps = std::isfinite(file.frameRate) && file.frameRate > 0 ? std::min(file.frameRate, 1000.0) : 60.0;
    const int rate = file.sampleRate > 0 ? file.sampleRate : 48000;
    const double soundFrames = std::ceil(double(rate) / kSamplesPerSoundFrame);
    const double seconds = double(duration) / kUnitsPerSecond + double(kExtraRateSeconds);
    const double indexPerSecond = fps * kIndexBytesPerPicture + soundFrames * kIndexBytesPerSoundFrame;
    const double index = std::ceil(seconds * indexPerSecond);
    const int64_t boxes = kFixedBoxBytes + std::max<int64_t>(file.titleBoxBytes, 0) +
                          (index >= double(INT64_MAX / 4) ? INT64_MAX / 4 : int64_t(index));

    return RoundUpTo(media + boxes, cluster) + RoundUpTo(kThumbnailBytes, cluster);
}

int64_t PspFit::Estimate(const std::vector<PspFitFile>& files, int videoBitrate, int audioBitrate,
                         int64_t clusterBytes) {
    int64_t total = 0;
    for (const PspFitFile& f : files) {
        const int64_t bytes = FileBytes(f, videoBitrate, audioBitrate, clusterBytes);
        total = bytes > INT64_MAX / 2 - total ? INT64_MAX / 2 : total + bytes;
    }
    return total;
}

int64_t PspFit::Allowed(int64_t freeBytes) {
    if (freeBytes <= 0) return freeBytes;
    const int64_t spare = (freeBytes / 100) * kSparePercent + ((freeBytes % 100) * kSparePercent + 99) / 100;
    return freeBytes - spare;
}

PspFitResult PspFit::Choose(const std::vector<PspFitFile>& files, int audioBitrate, const PspSpace& space) {
    PspFitResult r;
    r.allowed = Allowed(space.freeBytes);
    const int64_t lowest = Estimate(files, kMinVideoBitrate, audioBitrate, space.clusterBytes);
    if (lowest > r.allowed) {
        r.estimate = lowest;
        // The smallest free space whose allowed part holds the batch:
        // Allowed(F) = F - ceil(F / 50) >= lowest from F = ceil(50 x lowest / 49) on.
        const int64_t keep = 100 - kSparePercent;
        int64_t needed = lowest / keep * 100 + ((lowest % keep) * 100 + keep - 1) / keep;
        while (needed > 0 && Allowed(needed - 1) >= lowest) --needed;
        while (Allowed(needed) < lowest) ++needed;
        r.missing = needed - space.freeBytes;
        return r;
    }
    // The estimate grows with the rate: the highest rate that fits.
    int low = kMinVideoBitrate, high = kMaxVideoBitrate;
    while (low < high) {
        const int mid = low + (high - low + 1) / 2;
        if (Estimate(files, mid, audioBitrate, space.clusterBytes) <= r.allowed)
            low = mid;
        else
            high = mid - 1;
    }
    r.fits = true;
    r.videoBitrate = low;
    r.estimate = Estimate(files, low, audioBitrate, space.clusterBytes);
    return r;
}

const char* const kFitNoPspText = "No PSP detected: connect the PSP through USB to fit the videos to its free space.";
const char* const kFitNotMountedText = "The PSP is connected but not mounted: its free space cannot be read.";

std::string FitRefusalText(const PspFitResult& result) {
    return "The videos do not fit on the PSP even at " + std::to_string(PspFit::kMinVideoBitrate) +
           " kbit/s.\nNeed " + FormatSize(result.missing) + "B more free space.";
}

std::string FitChosenText(const PspFitResult& result) {
    return "Video bit rate fitted to the PSP's free space: " + std::to_string(result.videoBitrate) + " kbit/s";
}

bool MeasurePspSpace(const std::string& root, PspSpace& space, std::string* reason) {
    int64_t freeBytes = 0;
    if (!storage::GetDiskFreeBytes(root, freeBytes)) {
        if (reason) *reason = std::strerror(GetLastError());
        return false;
    }
    space.freeBytes = freeBytes;
    struct statvfs info {};
    space.clusterBytes = ::statvfs(root.c_str(), &info) == 0 && info.f_frsize > 0 ? int64_t(info.f_frsize)
                                                                                   : PspFit::kDefaultClusterBytes;
    return true;
}

}  // namespace kalvex
