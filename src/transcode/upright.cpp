#include <cstdio>

#include "transcode/rendition_objects.hpp"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace kestrava {
namespace {

const char *upright_chain(int rotation) {
    switch (rotation) {
    case 90:
        return "transpose=clock";
    case 180:
        return "hflip,vflip";
    case 270:
        return "transpose=cclock";
    default:
        return nullptr;
    }
}

// A graph for pictures of this geometry; none when they cannot be turned.
void build_upright_graph(rendition_objects &r, const AVFrame *picture) {
    r.upright_source_width = picture->width;
    r.upright_source_height = picture->height;
    r.upright_source_format = picture->format;
    r.upright_graph.reset();
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
    if (!build_filter_chain(r.upright_graph, r.upright_source, r.upright_sink, "buffer",
                            arguments, "buffersink", upright_chain(r.rotation))) {
        r.upright_graph.reset();
    }
}

}  // namespace

const AVFrame *turn_upright(rendition_objects &r, const AVFrame *decoded) {
    if (upright_chain(r.rotation) == nullptr) {
        return decoded;
    }
    if (decoded->width != r.upright_source_width || decoded->height != r.upright_source_height ||
        decoded->format != r.upright_source_format) {
        build_upright_graph(r, decoded);
    }
    if (!r.upright_graph) {
        return nullptr;
    }
    if (!r.upright_frame) {
        r.upright_frame.reset(av_frame_alloc());
        if (!r.upright_frame) {
            return nullptr;
        }
    }
    av_frame_unref(r.upright_frame.get());
    // Turning and flipping give one picture out for each picture in, at once.
    if (av_buffersrc_add_frame_flags(r.upright_source, const_cast<AVFrame *>(decoded),
                                     AV_BUFFERSRC_FLAG_KEEP_REF) < 0 ||
        av_buffersink_get_frame(r.upright_sink, r.upright_frame.get()) < 0) {
        return nullptr;
    }
    return r.upright_frame.get();
}

}  // namespace kestrava
