#include "subtitles/RTS.h"

namespace kalvex {

CRenderedTextSubtitle::CRenderedTextSubtitle() = default;
CRenderedTextSubtitle::~CRenderedTextSubtitle() = default;

HRESULT CRenderedTextSubtitle::GetClassID(CLSID* pClassID) {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_RenderedTextSubtitle;
    return S_OK;
}

int CRenderedTextSubtitle::CountStreams() { return 1; }

HRESULT CRenderedTextSubtitle::DescribeStream(int i, WCHAR** ppName, LCID* pLCID) {
    if (i != 0) return E_INVALIDARG;
    if (ppName) {
        *ppName = CoTaskMemDupString(reinterpret_cast<const char16_t*>(m_name.utf16()),
                                     static_cast<std::size_t>(m_name.size()));
        if (!*ppName) return E_OUTOFMEMORY;
    }
    if (pLCID) *pLCID = 0;
    return S_OK;
}

int CRenderedTextSubtitle::GetStream() { return 0; }

HRESULT CRenderedTextSubtitle::SelectStream(int i) { return i == 0 ? S_OK : E_FAIL; }

}  // namespace kalvex
