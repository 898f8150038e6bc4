#pragma once
// libavfilter, opened at run time the first time a source's pictures need a
// filter graph (turned upright, deinterlaced, telecine undone, tone-mapped,
// or their fields looked at). Most sources need none. Linked, the library
// and the thirty libraries it pulls in were loaded at every start of the
// program: 25-45 ms of a conversion's start on one core, and 11 MB of its
// memory (a 4K conversion's peak went from 347 to 336 MB).
#include <string>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace kalvex::avs {

// The library's calls the picture corrections make.
struct AvFilterCalls {
    decltype(&::avfilter_version) version = nullptr;
    decltype(&::avfilter_get_by_name) getByName = nullptr;
    decltype(&::avfilter_graph_alloc) graphAlloc = nullptr;
    decltype(&::avfilter_graph_free) graphFree = nullptr;
    decltype(&::avfilter_graph_create_filter) graphCreateFilter = nullptr;
    decltype(&::avfilter_graph_parse_ptr) graphParsePtr = nullptr;
    decltype(&::avfilter_graph_config) graphConfig = nullptr;
    decltype(&::avfilter_link) link = nullptr;
    decltype(&::avfilter_inout_alloc) inoutAlloc = nullptr;
    decltype(&::avfilter_inout_free) inoutFree = nullptr;
    decltype(&::av_buffersrc_add_frame) bufferSrcAddFrame = nullptr;
    decltype(&::av_buffersrc_add_frame_flags) bufferSrcAddFrameFlags = nullptr;
    decltype(&::av_buffersink_get_frame) bufferSinkGetFrame = nullptr;
    decltype(&::av_buffersink_get_w) bufferSinkGetW = nullptr;
    decltype(&::av_buffersink_get_h) bufferSinkGetH = nullptr;
    decltype(&::av_buffersink_get_format) bufferSinkGetFormat = nullptr;
    decltype(&::av_buffersink_get_time_base) bufferSinkGetTimeBase = nullptr;
};

// The file name of the libavfilter the program was built against
// ("libavfilter.so.8"): the same major version, the same calls.
std::string AvFilterLibraryName();

// Fills *calls from the library of this name. False when it cannot be
// loaded, lacks one of the calls, or is of another major version than the
// headers the program was built with; *error says which.
bool LoadAvFilterCalls(const std::string& library, AvFilterCalls* calls, std::string* error);

// The program's calls, loaded from AvFilterLibraryName() on first use (once
// per process, from any thread). Null when that failed; *error then says
// why, on every call.
const AvFilterCalls* AvFilter(std::string* error);

}  // namespace kalvex::avs
