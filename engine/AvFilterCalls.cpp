#include "engine/AvFilterCalls.h"

#include <mutex>
#include <string>
#include <type_traits>

#include "platform/system/SharedLibrary.h"

namespace kalvex::avs {

std::string AvFilterLibraryName() { return "libavfilter.so." + std::to_string(LIBAVFILTER_VERSION_MAJOR); }

bool LoadAvFilterCalls(const std::string& library, AvFilterCalls* calls, std::string* error) {
    void* handle = OpenSharedLibrary(library, error);
    if (!handle) return false;
    AvFilterCalls found;
    bool ok = true;
    // Each call by its name in the library; the first one missing ends it.
    auto find = [&](auto& slot, const char* name) {
        if (!ok) return;
        void* symbol = LibrarySymbol(handle, name, error);
        if (!symbol) {
            ok = false;
            *error = library + ": " + *error;
            return;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
    };
    find(found.version, "avfilter_version");
    find(found.getByName, "avfilter_get_by_name");
    find(found.graphAlloc, "avfilter_graph_alloc");
    find(found.graphFree, "avfilter_graph_free");
    find(found.graphCreateFilter, "avfilter_graph_create_filter");
    find(found.graphParsePtr, "avfilter_graph_parse_ptr");
    find(found.graphConfig, "avfilter_graph_config");
    find(found.link, "avfilter_link");
    find(found.inoutAlloc, "avfilter_inout_alloc");
    find(found.inoutFree, "avfilter_inout_free");
    find(found.bufferSrcAddFrame, "av_buffersrc_add_frame");
    find(found.bufferSrcAddFrameFlags, "av_buffersrc_add_frame_flags");
    find(found.bufferSinkGetFrame, "av_buffersink_get_frame");
    find(found.bufferSinkGetW, "av_buffersink_get_w");
    find(found.bufferSinkGetH, "av_buffersink_get_h");
    find(found.bufferSinkGetFormat, "av_buffersink_get_format");
    find(found.bufferSinkGetTimeBase, "av_buffersink_get_time_base");
    if (!ok) return false;
    // Another major version lays out its structures differently.
    const unsigned major = AV_VERSION_MAJOR(found.version());
    if (major != LIBAVFILTER_VERSION_MAJOR) {
        *error = library + " is version " + std::to_string(major) + ", the program needs version " +
                 std::to_string(LIBAVFILTER_VERSION_MAJOR);
        return false;
    }
    *calls = found;
    return true;
}

const AvFilterCalls* AvFilter(std::string* error) {
    static std::once_flag once;
    static AvFilterCalls calls;
    static bool loaded = false;
    static std::string why;
    std::call_once(once, [] { loaded = LoadAvFilterCalls(AvFilterLibraryName(), &calls, &why); });
    if (!loaded) {
        if (error) *error = why;
        return nullptr;
    }
    return &calls;
}

}  // namespace kalvex::avs
