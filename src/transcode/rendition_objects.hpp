// Everything one rendition worker holds, and the steps that work on it.
//
// The owners are declared in their order of acquisition, so C++ destroys them
// newest first: leaving the worker by any path releases exactly what exists,
// in reverse order, without a trailer.
#pragma once

#include <cstdint>
#include <string>

#include "transcode/av_owners.hpp"

namespace kestrava {

struct rendition_objects {
    format_context_ptr input;           // 1
    codec_context_ptr video_decoder;    // 2
    codec_context_ptr audio_decoder;    // 3
    codec_context_ptr video_encoder;    // 4
    codec_context_ptr audio_encoder;    // 5
    format_context_ptr output;          // 6: the "hls" muxer, video stream 0, audio stream 1
    std::string segment_prefix;         // 7
    std::string segment_pattern;        // 8
    scaler_ptr scaler;                  // 9
    filter_graph_ptr audio_graph;       // 10
    audio_fifo_ptr audio_fifo;          // 11
    packet_ptr demux_packet;            // 12
    packet_ptr encoded_packet;          // 13
    frame_ptr decoded_frame;            // 14
    frame_ptr scaled_frame;             // 15
    // Only for sources shown rotated: a graph that turns pictures upright.
    filter_graph_ptr upright_graph;     // 16
    frame_ptr upright_frame;            // 17

    // Views into the objects above; they own nothing.
    int video_stream_index = -1;
    int audio_stream_index = -1;
    AVStream *video_input_stream = nullptr;
    AVStream *audio_input_stream = nullptr;
    AVStream *video_output_stream = nullptr;
    AVStream *audio_output_stream = nullptr;
    AVFilterContext *buffer_source = nullptr;
    AVFilterContext *buffer_sink = nullptr;
    AVFilterContext *upright_source = nullptr;
    AVFilterContext *upright_sink = nullptr;

    // Clockwise degrees that turn the source's pictures upright.
    int rotation = 0;
    // The picture geometry the upright graph was built for.
    int upright_source_width = 0;
    int upright_source_height = 0;
    int upright_source_format = -1;

    // What the current loudness graph was built for. A decoded frame that
    // differs ends that graph and starts one built for it.
    int audio_graph_rate = 0;
    int audio_graph_format = -1;
    std::string audio_graph_layout;
    // Samples the current graph has taken in (at its input rate) and given
    // out; the stamp its next input frame carries; how many of its output
    // samples are real audio once silence has been added (-1: all of them).
    std::int64_t audio_graph_input_samples = 0;
    std::int64_t audio_graph_output_samples = 0;
    std::int64_t audio_graph_next_pts = AV_NOPTS_VALUE;
    std::int64_t audio_graph_output_limit = -1;

    // The picture geometry the scaler was built for; a decoded picture that
    // differs gets a new scaler before it is scaled.
    int scaler_source_width = 0;
    int scaler_source_height = 0;
    int scaler_source_format = -1;

    // Both streams are timed from one origin, the earlier of their first
    // stamps; this is that origin in the input video stream's time base.
    std::int64_t video_origin = 0;
    // Ticks added to every picture's stamp since the source's clock jumped.
    std::int64_t video_clock_shift = 0;
    // Whether the format declares that its clock may jump (MPEG-TS does).
    bool clock_may_jump = false;

    // Stamp of the last picture handed to the video encoder (1/30 s ticks),
    // AV_NOPTS_VALUE before the first.
    std::int64_t last_video_pts = AV_NOPTS_VALUE;
    // The next audio frame's stamp (1/44100 s): the offset of the first
    // sample from the origin, plus the samples handed to the encoder so far.
    std::int64_t audio_sample_count = 0;
};

// Set-up, from opening the input to the working packets and frames.
bool set_up_rendition(rendition_objects &rendition, const std::string &input_path,
                      const std::string &playlist_path, std::int32_t width, std::int32_t height,
                      std::int32_t bit_rate, const std::string &key_info_path);

// The loudness graph (buffer source -> loudnorm -> aformat -> buffer sink) and the audio FIFO.
bool set_up_audio_path(rendition_objects &rendition);

// Builds graph = source -> chain -> sink from a filter description. False,
// with whatever was made left in `graph` to be freed, when any step fails.
bool build_filter_chain(filter_graph_ptr &graph, AVFilterContext *&source,
                        AVFilterContext *&sink, const char *source_name,
                        const char *source_arguments, const char *sink_name, const char *chain);

// The source's picture turned upright, or the picture itself when the source
// is not shown rotated; null when it cannot be turned.
const AVFrame *turn_upright(rendition_objects &rendition, const AVFrame *decoded);

// (Re)builds the scaler from pictures of this size and pixel format to the
// encoder's; leaves none when such pictures cannot be scaled.
void build_scaler(rendition_objects &rendition, int width, int height, int format);

// One demuxed packet of the chosen stream. False ends the worker without a trailer.
bool process_video_packet(rendition_objects &rendition);
bool process_audio_packet(rendition_objects &rendition);

// End of input: the video side never fails; the audio side may (no trailer then).
void drain_video(rendition_objects &rendition);
bool drain_audio(rendition_objects &rendition);

}  // namespace kestrava
