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

    // Views into the objects above; they own nothing.
    int video_stream_index = -1;
    int audio_stream_index = -1;
    AVStream *video_input_stream = nullptr;
    AVStream *audio_input_stream = nullptr;
    AVStream *video_output_stream = nullptr;
    AVStream *audio_output_stream = nullptr;
    AVFilterContext *buffer_source = nullptr;
    AVFilterContext *buffer_sink = nullptr;

    // The picture geometry the scaler was built for; a decoded picture that
    // differs gets a new scaler before it is scaled.
    int scaler_source_width = 0;
    int scaler_source_height = 0;
    int scaler_source_format = -1;

    // Stamp of the last picture handed to the video encoder (1/30 s ticks),
    // AV_NOPTS_VALUE before the first.
    std::int64_t last_video_pts = AV_NOPTS_VALUE;
    // Samples handed to the audio encoder so far; the next audio frame's stamp.
    std::int64_t audio_sample_count = 0;
};

// Set-up, from opening the input to the working packets and frames.
bool set_up_rendition(rendition_objects &rendition, const std::string &input_path,
                      const std::string &playlist_path, std::int32_t width, std::int32_t height,
                      std::int32_t bit_rate, const std::string &key_info_path);

// The loudness graph (buffer source -> loudnorm -> aformat -> buffer sink) and the audio FIFO.
bool set_up_audio_path(rendition_objects &rendition);

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
