#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transcode/rendition_objects.hpp"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
}

namespace kestrava {
namespace {

constexpr const char *loudness_chain =
    "loudnorm=I=-14:LRA=11:TP=-1.5,"
    "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo";

AVFilterInOut *describe_open_end(const char *name, AVFilterContext *filter) {
    AVFilterInOut *end = avfilter_inout_alloc();
    if (end != nullptr) {
        end->name = av_strdup(name);
        end->filter_ctx = filter;
        end->pad_idx = 0;
        end->next = nullptr;
    }
    return end;
}

// Appends a filtered frame to the FIFO. Negative when the FIFO could not grow
// or took fewer samples than the frame holds.
int append_to_fifo(AVAudioFifo *fifo, const AVFrame *frame) {
    const int grown = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + frame->nb_samples);
    if (grown < 0) {
        return grown;
    }
    const int written =
        av_audio_fifo_write(fifo, reinterpret_cast<void **>(frame->extended_data),
                            frame->nb_samples);
    return written < frame->nb_samples ? AVERROR(ENOMEM) : written;
}

// Damaged audio can decode to samples far beyond full scale, which the
// loudness filter then raises further; the AAC encoder's quantiser all but
// stalls on such values. Nothing past full scale survives playback anyway, so
// the samples are limited to it (and NaN silenced) on their way in.
void limit_to_full_scale(AVFrame *frame) {
    for (int channel = 0; channel < frame->ch_layout.nb_channels; ++channel) {
        float *samples = reinterpret_cast<float *>(frame->extended_data[channel]);
        for (int i = 0; i < frame->nb_samples; ++i) {
            const float sample = samples[i];
            samples[i] = sample > 1.0f ? 1.0f : sample < -1.0f ? -1.0f : sample == sample ? sample : 0.0f;
        }
    }
}

// Takes `count` samples off the FIFO into a fresh encoder frame stamped with
// the running sample count. Null when the frame cannot be made or filled.
frame_ptr read_encoder_frame(rendition_objects &r, int count) {
    const AVCodecContext *encoder = r.audio_encoder.get();
    frame_ptr frame(av_frame_alloc());
    if (!frame) {
        return nullptr;
    }
    frame->nb_samples = count;
    frame->format = encoder->sample_fmt;
    frame->sample_rate = encoder->sample_rate;
    if (av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0 ||
        av_frame_get_buffer(frame.get(), 0) < 0) {
        return nullptr;
    }
    if (av_audio_fifo_read(r.audio_fifo.get(), reinterpret_cast<void **>(frame->extended_data),
                           count) < count) {
        return nullptr;
    }
    limit_to_full_scale(frame.get());
    frame->pts = r.audio_sample_count;
    r.audio_sample_count += frame->nb_samples;
    return frame;
}

// Encodes every whole encoder frame the FIFO holds, leaving less than one behind.
bool encode_whole_frames(rendition_objects &r) {
    const int frame_size = r.audio_encoder->frame_size;
    while (av_audio_fifo_size(r.audio_fifo.get()) >= frame_size) {
        frame_ptr frame = read_encoder_frame(r, frame_size);
        if (!frame || !encode_and_write(r.audio_encoder.get(), r.output.get(),
                                        r.audio_output_stream, frame.get(),
                                        r.encoded_packet.get())) {
            return false;
        }
    }
    return true;
}

// Pulls every frame the graph has ready into the FIFO. While streaming, whole
// encoder frames are encoded as they complete and a frame the FIFO cannot take
// ends the rendition; at end of input the samples only gather (a frame that
// cannot be stored is left out) and are encoded afterwards.
bool pull_filtered_audio(rendition_objects &r, bool streaming) {
    for (;;) {
        frame_ptr filtered(av_frame_alloc());
        if (!filtered) {
            return false;
        }
        const int pulled = av_buffersink_get_frame(r.buffer_sink, filtered.get());
        if (pulled == AVERROR(EAGAIN) || pulled == AVERROR_EOF) {
            return true;
        }
        if (pulled < 0) {
            return false;
        }
        const bool stored = append_to_fifo(r.audio_fifo.get(), filtered.get()) >= 0;
        if (streaming && (!stored || !encode_whole_frames(r))) {
            return false;
        }
    }
}

}  // namespace

bool set_up_audio_path(rendition_objects &r) {
    // The re-framing below needs a fixed encoder frame size (AAC always has one).
    if (r.audio_encoder->frame_size <= 0) {
        return false;
    }
    r.audio_graph.reset(avfilter_graph_alloc());
    if (!r.audio_graph) {
        return false;
    }
    const AVFilter *source_filter = avfilter_get_by_name("abuffer");
    const AVFilter *sink_filter = avfilter_get_by_name("abuffersink");

    const AVCodecContext *decoder = r.audio_decoder.get();
    char layout_text[64];
    std::memset(layout_text, 0, sizeof layout_text);
    if (decoder->ch_layout.nb_channels > 0) {
        av_channel_layout_describe(&decoder->ch_layout, layout_text, sizeof layout_text);
    }
    if (layout_text[0] == '\0') {
        std::snprintf(layout_text, sizeof layout_text, "stereo");
    }
    const char *sample_format = av_get_sample_fmt_name(decoder->sample_fmt);
    char arguments[512];
    std::snprintf(arguments, sizeof arguments,
                  "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                  r.audio_input_stream->time_base.num, r.audio_input_stream->time_base.den,
                  decoder->sample_rate, sample_format != nullptr ? sample_format : "none",
                  layout_text);

    AVFilterGraph *graph = r.audio_graph.get();
    if (avfilter_graph_create_filter(&r.buffer_source, source_filter, "in", arguments, nullptr,
                                     graph) < 0 ||
        avfilter_graph_create_filter(&r.buffer_sink, sink_filter, "out", nullptr, nullptr,
                                     graph) < 0) {
        return false;
    }

    // Declared output first so that the input end is freed first.
    filter_inout_ptr open_output(describe_open_end("in", r.buffer_source));
    filter_inout_ptr open_input(describe_open_end("out", r.buffer_sink));
    if (!open_output || !open_input || !open_output->name || !open_input->name) {
        return false;
    }
    AVFilterInOut *inputs = open_input.release();
    AVFilterInOut *outputs = open_output.release();
    const int parsed = avfilter_graph_parse_ptr(graph, loudness_chain, &inputs, &outputs, nullptr);
    open_output.reset(outputs);
    open_input.reset(inputs);
    if (parsed < 0 || avfilter_graph_config(graph, nullptr) < 0) {
        return false;
    }
    open_input.reset();
    open_output.reset();

    r.audio_fifo.reset(
        av_audio_fifo_alloc(r.audio_encoder->sample_fmt, r.audio_encoder->ch_layout.nb_channels, 1));
    return static_cast<bool>(r.audio_fifo);
}

bool process_audio_packet(rendition_objects &r) {
    AVCodecContext *decoder = r.audio_decoder.get();
    AVFrame *decoded = r.decoded_frame.get();
    if (avcodec_send_packet(decoder, r.demux_packet.get()) < 0) {
        return true;  // a packet the decoder refuses is dropped
    }
    while (avcodec_receive_frame(decoder, decoded) >= 0) {
        // The source refuses a frame whose rate, format or layout changed.
        if (av_buffersrc_add_frame_flags(r.buffer_source, decoded, 0) < 0 ||
            !pull_filtered_audio(r, true)) {
            return false;
        }
        av_frame_unref(decoded);
    }
    return true;
}

bool drain_audio(rendition_objects &r) {
    AVCodecContext *decoder = r.audio_decoder.get();
    AVFrame *decoded = r.decoded_frame.get();
    avcodec_send_packet(decoder, nullptr);
    while (avcodec_receive_frame(decoder, decoded) >= 0) {
        if (av_buffersrc_add_frame_flags(r.buffer_source, decoded, 0) >= 0 &&
            !pull_filtered_audio(r, false)) {
            return false;
        }
        av_frame_unref(decoded);
    }
    if (av_buffersrc_add_frame_flags(r.buffer_source, nullptr, 0) < 0 ||
        !pull_filtered_audio(r, false)) {
        return false;
    }

    const int frame_size = r.audio_encoder->frame_size;
    while (av_audio_fifo_size(r.audio_fifo.get()) > 0) {
        frame_ptr frame =
            read_encoder_frame(r, std::min(frame_size, av_audio_fifo_size(r.audio_fifo.get())));
        if (!frame) {
            return false;
        }
        encode_and_write(r.audio_encoder.get(), r.output.get(), r.audio_output_stream,
                         frame.get(), r.encoded_packet.get());
    }
    encode_and_write(r.audio_encoder.get(), r.output.get(), r.audio_output_stream, nullptr,
                     r.encoded_packet.get());
    return true;
}

}  // namespace kestrava
