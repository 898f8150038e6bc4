#pragma once
// The text subtitle as the program instantiates it: the model of
// CSimpleTextSubtitle plus the stream interface (a text subtitle is always
// exactly one stream). Drawing is done elsewhere from this model.
#include "subtitles/STS.h"
#include "subtitles/SubStream.h"

namespace kalvex {

// {537DCACA-2812-4A4F-B2C6-1A34C17ADEB0}
constexpr CLSID CLSID_RenderedTextSubtitle = {
    0x537DCACA, 0x2812, 0x4A4F, {0xB2, 0xC6, 0x1A, 0x34, 0xC1, 0x7A, 0xDE, 0xB0}};

class CRenderedTextSubtitle : public CSimpleTextSubtitle, public ISubStream {
public:
    CRenderedTextSubtitle();
    ~CRenderedTextSubtitle() override;

    HRESULT GetClassID(CLSID* pClassID) override;
    int CountStreams() override;
    HRESULT DescribeStream(int i, WCHAR** ppName, LCID* pLCID) override;
    int GetStream() override;
    HRESULT SelectStream(int i) override;
};

}  // namespace kalvex
