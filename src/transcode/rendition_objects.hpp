// Everything one rendition worker holds, and the steps that work on it.
//
// The owners are declared in their order of acquisition, so C++ destroys them
// newest first: leaving the worker by any path releases exactly what exists,
// in reverse order, without a trailer.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "transcode/av_owners.hpp"

namespace kestrava {

// The corrections a source's pictures need before they are scaled, made by one
// filter graph. A progressive, upright SDR source has no graph at all.
struct picture_corrections {
    // Clockwise degrees that turn the source's pictures upright.
    int rotation = 0;
    // PQ or HLG pictures are tone-mapped to SDR BT.709 (at the rendition's size).
    bool tone_map = false;
    // Set for good once the decoder flags a picture as interlaced.
    bool deinterlace = false;

    filter_graph_ptr graph;
    frame_ptr corrected;
    AVFilterContext *source = nullptr;
    AVFilterContext *sink = nullptr;
    // What the current graph was built for; a picture that differs ends it
    // (giving out what it still holds) and starts another.
    int width = 0;
    int height = 0;
    int format = -1;
    bool deinterlacing = false;
    // Pictures of that geometry cannot be corrected, and are skipped.
    bool skipping = false;
};

// Where the encoded pictures sit on the 1/30 s grid, and how long each lasts.
struct video_timing {
    // Both streams are timed from one origin, the earlier of their first
    // stamps; this is that origin in the input video stream's time base.
    std::int64_t origin = 0;
    // Ticks added to every picture's stamp since the source's clock jumped.
    std::int64_t clock_shift = 0;
    // Whether the format declares that its clock may jump (MPEG-TS does).
    bool clock_may_jump = false;
    // Stamp of the last picture handed to the encoder, AV_NOPTS_VALUE before the first.
    std::int64_t last_pts = AV_NOPTS_VALUE;
    // How long the pictures the encoder still holds last, by stamp: the time
    // to the next picture, known once that one is stamped.
    std::map<std::int64_t, std::int64_t> durations;
    // Encoded packets, in the encoder's order, waiting for their picture's duration.
    std::deque<packet_ptr> waiting;
};

// The loudness graph currently in use and what it was built for. A decoded
// frame that differs ends that graph and starts one built for it.
struct loudness_graph {
    AVFilterContext *source = nullptr;
    AVFilterContext *sink = nullptr;
    int rate = 0;
    int format = -1;
    std::string layout;
    // Samples it has taken in (at its input rate) and given out; the stamp its
    // next input frame carries; how many of its output samples are real audio
    // once silence has been added (-1: all of them).
    std::int64_t input_samples = 0;
    std::int64_t output_samples = 0;
    std::int64_t next_pts = AV_NOPTS_VALUE;
    std::int64_t output_limit = -1;
};

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
    picture_corrections corrections;    // 16: only for sources that need them
    video_timing video_time;            // 17: encoded packets held for their durations

    // Views into the objects above; they own nothing.
    int video_stream_index = -1;
    int audio_stream_index = -1;
    AVStream *video_input_stream = nullptr;
    AVStream *audio_input_stream = nullptr;
    AVStream *video_output_stream = nullptr;
    AVStream *audio_output_stream = nullptr;

    loudness_graph loudness;

    // The picture geometry the scaler was built for; a picture that differs
    // gets a new scaler before it is scaled.
    int scaler_source_width = 0;
    int scaler_source_height = 0;
    int scaler_source_format = -1;

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

// Builds graph = source -> chain -> sink from a filter description, with the
// source's parameters completed from `source_parameters` if given. False,
// with whatever was made left in `graph` to be freed, when any step fails.
bool build_filter_chain(filter_graph_ptr &graph, AVFilterContext *&source,
                        AVFilterContext *&sink, const char *source_name,
                        const char *source_arguments, const char *sink_name, const char *chain,
                        const AVBufferSrcParameters *source_parameters = nullptr);

// Which corrections the source's pictures need (turning upright, tone
// mapping), from the opened input and video decoder.
void plan_corrections(rendition_objects &rendition);

// The size and pixel format of the source's pictures once corrected (turned
// upright, tone-mapped), as the scaler first gets them.
struct picture_geometry {
    int width;
    int height;
    int format;
};
picture_geometry corrected_geometry(const rendition_objects &rendition);

// Hands one decoded picture (null at end of input) to the corrections, and
// each corrected picture to `encode_picture`. False when that fails.
bool correct_picture(rendition_objects &rendition, const AVFrame *decoded);

// Scales, stamps and encodes one picture of the source's geometry, whose stamp
// is in `time_base`. True when the picture is skipped (it cannot be scaled, or
// its stamp does not advance); false only when encoding or writing fails.
bool encode_picture(rendition_objects &rendition, const AVFrame *picture, AVRational time_base);

// Sends a picture (null flushes) to the video encoder; its packets are written
// as soon as their picture's duration is known.
bool encode_video(rendition_objects &rendition, const AVFrame *picture);

// After the audio has ended: the last picture lasts until the end of the audio
// (at least one tick), and every packet still waiting is written.
void finish_video(rendition_objects &rendition);

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
