#pragma once
// The stream interface that subtitle readers offer to the file-linking code,
// with the COM-style result codes and task allocator it uses at that boundary.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/com/ComResult.h"

namespace kalvex {

using WCHAR = char16_t;  // one UTF-16 code unit, as the stream names are handed out
using LCID = std::uint32_t;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2, Data3;
    std::uint8_t Data4[8];
    bool operator==(const GUID&) const = default;
};
using CLSID = GUID;

// The task allocator: buffers handed to callers (stream names) come from here
// and are released by the caller with CoTaskMemFree.
void* CoTaskMemAlloc(std::size_t size);
void CoTaskMemFree(void* p);
// Tests replace the allocation (e.g. to simulate running out of memory);
// a null function restores the real allocator.
void SetTaskMemAllocHook(std::function<void*(std::size_t)> hook);

// Copies a UTF-16 string into a fresh task-allocator buffer (zero-terminated);
// null when no memory could be had.
WCHAR* CoTaskMemDupString(const char16_t* text, std::size_t length);

class ISubStream {
public:
    virtual ~ISubStream() = default;
    virtual HRESULT GetClassID(CLSID* pClassID) = 0;
    virtual int CountStreams() = 0;
    // name: a task-allocator buffer the caller frees; language: 0.
    virtual HRESULT DescribeStream(int i, WCHAR** ppName, LCID* pLCID) = 0;
    virtual int GetStream() = 0;
    virtual HRESULT SelectStream(int i) = 0;
};

}  // namespace kalvex
