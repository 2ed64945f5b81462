// Scoped owners for every FFmpeg object the module creates.
//
// Each alias binds one library type to the library's own release function, so
// an object is handed to its owner on the line after it is allocated and is
// released on every way out of the function that holds it, newest first.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "transcode/transcode.hpp"

namespace kestrava {

// Release functions that take the object itself: sws_freeContext(ctx).
template <typename T, void (*Release)(T *)>
struct release_by_value {
    void operator()(T *object) const { Release(object); }
};

// Release functions that take the owner's slot and null it: av_frame_free(&frame).
template <typename T, void (*Release)(T **)>
struct release_by_address {
    void operator()(T *object) const { Release(&object); }
};

// avio_close reports a result that a release has no use for.
struct io_context_release {
    void operator()(AVIOContext *io) const { avio_close(io); }
};

using io_context_ptr = std::unique_ptr<AVIOContext, io_context_release>;
using format_context_ptr =
    std::unique_ptr<AVFormatContext, release_by_value<AVFormatContext, close_rendition_io>>;
using codec_context_ptr =
    std::unique_ptr<AVCodecContext, release_by_address<AVCodecContext, avcodec_free_context>>;
using scaler_ptr = std::unique_ptr<SwsContext, release_by_value<SwsContext, sws_freeContext>>;
using filter_graph_ptr =
    std::unique_ptr<AVFilterGraph, release_by_address<AVFilterGraph, avfilter_graph_free>>;
using filter_inout_ptr =
    std::unique_ptr<AVFilterInOut, release_by_address<AVFilterInOut, avfilter_inout_free>>;
using audio_fifo_ptr = std::unique_ptr<AVAudioFifo, release_by_value<AVAudioFifo, av_audio_fifo_free>>;
using packet_ptr = std::unique_ptr<AVPacket, release_by_address<AVPacket, av_packet_free>>;
using frame_ptr = std::unique_ptr<AVFrame, release_by_address<AVFrame, av_frame_free>>;

}  // namespace kestrava
