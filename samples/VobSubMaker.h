#pragma once
// Writes a VobSub pair ("<base>.idx" and "<base>.sub") whose pictures are
// real subpicture units made by FFmpeg's DVD subtitle encoder: one filled
// rectangle per picture. Shared by the engine tests and the bench.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include "samples/SubtitleSamples.h"

namespace kalvex::samples {

struct VobPicture {
    long long startMs;
    int durationMs;
    int x, y, w, h;          // in the 720 x 480 picture of the index
    std::uint32_t argb = 0xFFFFFFFF;  // the rectangle's colour
};

// The palette of kIdxHeader, as the encoder option wants it.
inline const char* kIdxPalette =
    "000000,828282,828282,828282,828282,828282,828282,ffffff,828282,bababa,828282,828282,828282,828282,828282,828282";

// One subpicture unit for a picture; empty when the encoder failed.
inline std::vector<std::uint8_t> EncodeSpu(const VobPicture& p) {
    std::vector<std::uint8_t> out;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_DVD_SUBTITLE);
    if (!codec) return out;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return out;
    ctx->width = 720;
    ctx->height = 480;
    ctx->time_base = AVRational{1, 1000};
    av_opt_set(ctx->priv_data, "palette", kIdxPalette, 0);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return out;
    }
    AVSubtitleRect rect{};
    rect.type = SUBTITLE_BITMAP;
    rect.x = p.x;
    rect.y = p.y;
    rect.w = p.w;
    rect.h = p.h;
    rect.nb_colors = 4;
    std::vector<std::uint8_t> pixels(size_t(p.w) * size_t(p.h), 1);
    std::uint32_t palette[4] = {0x00000000, p.argb, 0xFF000000, 0xFF000000};
    rect.data[0] = pixels.data();
    rect.linesize[0] = p.w;
    rect.data[1] = reinterpret_cast<std::uint8_t*>(palette);
    AVSubtitleRect* rects[1] = {&rect};
    AVSubtitle sub{};
    sub.num_rects = 1;
    sub.rects = rects;
    sub.start_display_time = 0;
    sub.end_display_time = std::uint32_t(p.durationMs);
    sub.pts = 0;
    std::vector<std::uint8_t> buf(1 << 20);
    int n = avcodec_encode_subtitle(ctx, buf.data(), int(buf.size()), &sub);
    avcodec_free_context(&ctx);
    if (n > 0) out.assign(buf.begin(), buf.begin() + n);
    return out;
}

// Writes the pair with every picture in slot 0 ("en"); false on failure.
inline bool WriteVobSub(const std::string& base, const std::vector<VobPicture>& pictures) {
    std::string idx = kIdxHeader;
    idx += "id: en, index: 0\n";
    std::vector<std::uint8_t> sub;
    for (const VobPicture& p : pictures) {
        std::vector<std::uint8_t> spu = EncodeSpu(p);
        if (spu.empty()) return false;
        idx += TimestampLine(p.startMs, AppendSpuPacks(sub, 0, spu));
    }
    FILE* f = std::fopen((base + ".idx").c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(idx.data(), 1, idx.size(), f) == idx.size();
    ok = std::fclose(f) == 0 && ok;
    f = std::fopen((base + ".sub").c_str(), "wb");
    if (!f) return false;
    ok = std::fwrite(sub.data(), 1, sub.size(), f) == sub.size() && ok;
    return std::fclose(f) == 0 && ok;
}

}  // namespace kalvex::samples
