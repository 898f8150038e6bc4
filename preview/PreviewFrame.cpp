#include "preview/PreviewFrame.h"

#include <cmath>

namespace kalvex {

VideoRect FitRect(int areaWidth, int areaHeight, double aspect) {
    VideoRect r{0, 0, areaWidth, areaHeight};
    if (!(aspect > 0) || !std::isfinite(aspect) || areaWidth <= 0 || areaHeight <= 0) return r;
    // As wide as the area when the picture's height then fits: bars above
    // and below, the odd row below.
    const int displayed = int(double(areaWidth) / aspect);
    if (displayed < areaHeight) {
        const int gap = (areaHeight - displayed) / 2;
        r.top += gap;
        r.bottom -= gap;
        return r;
    }
    // Otherwise as high as the area: bars left and right.
    const int displayedWidth = int(double(areaHeight) * aspect);
    if (displayedWidth < areaWidth) {
        const int gap = (areaWidth - displayedWidth) / 2;
        r.left += gap;
        r.right -= gap;
    }
    return r;
}

double PreviewFrame::DisplayAspect() const {
    if (width <= 0 || height <= 0) return 0;
    const double par = parN > 0 && parD > 0 ? double(parN) / double(parD) : 1.0;
    return double(width) * par / double(height);
}

}  // namespace kalvex
