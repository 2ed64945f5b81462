#include <cstdio>
#include <string>

#include "transcode/rendition_objects.hpp"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace kestrava {
namespace {

bool flagged_interlaced(const AVFrame *picture) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    return (picture->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
    return picture->interlaced_frame != 0;
#endif
}

bool is_hdr_transfer(AVColorTransferCharacteristic transfer) {
    return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

// zscale's names for the source's colour description. Where the source states
// no primaries or matrix, HDR video is BT.2020, as phones record it.
const char *zscale_primaries(AVColorPrimaries primaries) {
    switch (primaries) {
    case AVCOL_PRI_BT709:
        return "bt709";
    case AVCOL_PRI_SMPTE431:
        return "smpte431";
    case AVCOL_PRI_SMPTE432:
        return "smpte432";
    default:
        return "bt2020";
    }
}

const char *zscale_matrix(AVColorSpace matrix) {
    switch (matrix) {
    case AVCOL_SPC_BT709:
        return "bt709";
    case AVCOL_SPC_BT2020_CL:
        return "bt2020c";
    case AVCOL_SPC_SMPTE170M:
        return "smpte170m";
    case AVCOL_SPC_BT470BG:
        return "bt470bg";
    default:
        return "bt2020nc";
    }
}

// PQ or HLG to SDR BT.709, limited range: to linear light in BT.709
// primaries, hable's curve, then back to BT.709's transfer and 8-bit 4:2:0.
// Tone mapping works in 32-bit float per pixel, so it runs after the size
// change (swscale's bicubic, as for every other source): at the rendition's
// size it costs a fraction of what it costs at the source's.
std::string tone_map_chain(const rendition_objects &r) {
    const AVCodecContext *decoder = r.video_decoder.get();
    const AVCodecContext *encoder = r.video_encoder.get();
    char chain[512];
    std::snprintf(chain, sizeof chain,
                  "scale=w=%d:h=%d:flags=bicubic,"
                  "zscale=tin=%s:min=%s:pin=%s:rin=%s:t=linear:npl=100:p=bt709,"
                  "format=gbrpf32le,tonemap=tonemap=hable:desat=0,"
                  "zscale=t=bt709:m=bt709:r=limited,format=yuv420p",
                  encoder->width, encoder->height,
                  decoder->color_trc == AVCOL_TRC_SMPTE2084 ? "smpte2084" : "arib-std-b67",
                  zscale_matrix(decoder->colorspace), zscale_primaries(decoder->color_primaries),
                  decoder->color_range == AVCOL_RANGE_JPEG ? "full" : "limited");
    return chain;
}

// The filters this source's pictures need, in the order they apply; empty
// when they need none.
std::string correction_chain(const rendition_objects &r) {
    const picture_corrections &c = r.corrections;
    std::string chain;
    const auto add = [&chain](const std::string &filters) {
        chain += chain.empty() ? filters : "," + filters;
    };
    // One picture out for each picture in; pictures not flagged interlaced pass untouched.
    if (c.deinterlacing) {
        add("bwdif=mode=send_frame:parity=auto:deint=interlaced");
    }
    switch (c.rotation) {
    case 90:
        add("transpose=clock");
        break;
    case 180:
        add("hflip,vflip");
        break;
    case 270:
        add("transpose=cclock");
        break;
    default:
        break;
    }
    if (c.tone_map) {
        add(tone_map_chain(r));
    }
    return chain;
}

// A graph for pictures of this geometry: none when they need no correction;
// when they cannot be corrected, none and `skipping` set.
void build_correction_graph(rendition_objects &r, const AVFrame *picture) {
    picture_corrections &c = r.corrections;
    c.width = picture->width;
    c.height = picture->height;
    c.format = picture->format;
    c.deinterlacing = c.deinterlace;
    c.graph.reset();
    const std::string chain = correction_chain(r);
    c.skipping = false;
    if (chain.empty()) {
        return;
    }
    c.skipping = true;
    if (picture->width <= 0 || picture->height <= 0 || picture->format < 0) {
        return;
    }
    const AVRational time_base = r.video_input_stream->time_base;
    const AVRational aspect = picture->sample_aspect_ratio.num > 0
                                  ? picture->sample_aspect_ratio
                                  : AVRational{1, 1};
    char arguments[256];
    std::snprintf(arguments, sizeof arguments,
                  "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                  picture->width, picture->height, picture->format, time_base.num,
                  time_base.den, aspect.num, aspect.den);
    const AVBufferSrcParameters *colour = nullptr;
#if LIBAVFILTER_VERSION_INT >= AV_VERSION_INT(10, 2, 100)
    // Graphs that know the pictures' matrix and range convert them; without
    // it they also warn of a property change at every picture.
    AVBufferSrcParameters described{};
    described.format = -1;
    described.color_space = picture->colorspace;
    described.color_range = picture->color_range;
    colour = &described;
#endif
    c.skipping = !build_filter_chain(c.graph, c.source, c.sink, "buffer", arguments, "buffersink",
                                     chain.c_str(), colour);
    if (c.skipping) {
        c.graph.reset();
    }
}

// Hands every picture the graph gives out to the encoder. At end of input the
// graph is told so first, and gives out what it still holds.
bool pull_corrected(rendition_objects &r, bool ending) {
    picture_corrections &c = r.corrections;
    if (ending && av_buffersrc_add_frame_flags(c.source, nullptr, 0) < 0) {
        return true;
    }
    if (!c.corrected) {
        c.corrected.reset(av_frame_alloc());
        if (!c.corrected) {
            return false;
        }
    }
    // Filters may give their pictures another time base (bwdif halves it).
    const AVRational time_base = av_buffersink_get_time_base(c.sink);
    while (av_buffersink_get_frame(c.sink, c.corrected.get()) >= 0) {
        const bool encoded = encode_picture(r, c.corrected.get(), time_base);
        av_frame_unref(c.corrected.get());
        if (!encoded) {
            return false;
        }
    }
    return true;
}

}  // namespace

picture_geometry corrected_geometry(const rendition_objects &r) {
    const AVCodecContext *decoder = r.video_decoder.get();
    const AVCodecContext *encoder = r.video_encoder.get();
    const picture_corrections &c = r.corrections;
    // Tone mapping ends at the rendition's size, in 8-bit 4:2:0 (tone_map_chain).
    if (c.tone_map) {
        return {encoder->width, encoder->height, AV_PIX_FMT_YUV420P};
    }
    if (c.rotation == 90 || c.rotation == 270) {
        return {decoder->height, decoder->width, decoder->pix_fmt};
    }
    return {decoder->width, decoder->height, decoder->pix_fmt};
}

void plan_corrections(rendition_objects &r) {
    picture_corrections &c = r.corrections;
    c.rotation = display_rotation(r.video_input_stream);
    c.tone_map = is_hdr_transfer(r.video_decoder->color_trc);
}

bool correct_picture(rendition_objects &r, const AVFrame *decoded) {
    picture_corrections &c = r.corrections;
    if (decoded == nullptr) {
        return !c.graph || pull_corrected(r, true);
    }
    c.deinterlace = c.deinterlace || flagged_interlaced(decoded);
    if (decoded->width != c.width || decoded->height != c.height || decoded->format != c.format ||
        c.deinterlace != c.deinterlacing) {
        // What the old graph still holds is encoded before the new one starts.
        if (c.graph && !pull_corrected(r, true)) {
            return false;
        }
        build_correction_graph(r, decoded);
    }
    // Pictures that cannot be corrected are skipped until their geometry changes.
    if (c.skipping) {
        return true;
    }
    if (!c.graph) {
        return encode_picture(r, decoded, r.video_input_stream->time_base);
    }
    if (av_buffersrc_add_frame_flags(c.source, const_cast<AVFrame *>(decoded),
                                     AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
        return true;
    }
    return pull_corrected(r, false);
}

}  // namespace kestrava
