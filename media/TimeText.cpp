#include "media/TimeText.h"

#include <cstdio>

namespace kalvex {

std::string TimeText(int64_t time, int format) {
    std::string sign;
    uint64_t t = uint64_t(time);
    if (time < 0) {
        sign = "-";
        t = 0 - t;  // magnitude, also for the most negative value
    }
    const unsigned long long ms = t / 10000;
    const unsigned long long totalSeconds = ms / 1000;
    const unsigned long long totalMinutes = totalSeconds / 60;
    const unsigned long long hours = totalMinutes / 60;
    const unsigned millis = unsigned(ms % 1000);
    const unsigned seconds = unsigned(totalSeconds % 60);
    const unsigned minutes = unsigned(totalMinutes % 60);

    char text[64];
    switch (format) {
    case 1:
        std::snprintf(text, sizeof text, "%02llu:%02u.%03u", totalMinutes, seconds, millis);
        break;
    case 2:
        std::snprintf(text, sizeof text, "%02llu:%02u:%02u", hours, minutes, seconds);
        break;
    case 3:
        std::snprintf(text, sizeof text, "%02llu:%02u:%02u.%03u", hours, minutes, seconds, millis);
        break;
    default:
        std::snprintf(text, sizeof text, "%02llu:%02u", totalMinutes, seconds);
        break;
    }
    return sign + text;
}

}  // namespace kalvex
