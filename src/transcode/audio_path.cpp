#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transcode/rendition_objects.hpp"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace kestrava {
namespace {

constexpr const char *loudness_chain =
    "loudnorm=I=-14:LRA=11:TP=-1.5,"
    "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo";

// loudnorm measures a first window of 3 s before it gives anything out. Audio
// that ends sooner makes it fall back to one linear gain, whose peak limit
// FFmpeg 5.1 computes wrongly (it subtracts two linear values where it should
// divide them): short, peaky clips come out 15 to 20 dB too quiet. Such audio
// is padded with silence a little past the window, so the filter keeps to its
// normal mode, and the padding is cut off again as the samples come out.
constexpr std::int64_t loudness_window_ms = 3000;
constexpr std::int64_t padding_margin_ms = 100;

// The library's name for a layout, or "stereo" when it has none.
void describe_layout(const AVChannelLayout &layout, char (&text)[64]) {
    std::memset(text, 0, sizeof text);
    if (layout.nb_channels > 0) {
        av_channel_layout_describe(&layout, text, sizeof text);
    }
    if (text[0] == '\0') {
        std::snprintf(text, sizeof text, "stereo");
    }
}

bool build_loudness_graph(rendition_objects &r, int sample_rate, int sample_format,
                          const char *layout) {
    r.loudness.rate = sample_rate;
    r.loudness.format = sample_format;
    r.loudness.layout = layout;
    r.loudness.input_samples = 0;
    r.loudness.output_samples = 0;
    r.loudness.next_pts = AV_NOPTS_VALUE;
    r.loudness.output_limit = -1;

    const char *format_name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(sample_format));
    char arguments[512];
    std::snprintf(arguments, sizeof arguments,
                  "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                  r.audio_input_stream->time_base.num, r.audio_input_stream->time_base.den,
                  sample_rate, format_name != nullptr ? format_name : "none", layout);
    return build_filter_chain(r.audio_graph, r.loudness.source, r.loudness.sink, "abuffer", arguments,
                              "abuffersink", loudness_chain);
}

// Appends the first `count` samples of a filtered frame to the FIFO. Negative
// when the FIFO could not grow or took fewer samples than asked.
int append_to_fifo(AVAudioFifo *fifo, const AVFrame *frame, int count) {
    const int grown = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + count);
    if (grown < 0) {
        return grown;
    }
    const int written =
        av_audio_fifo_write(fifo, reinterpret_cast<void **>(frame->extended_data), count);
    return written < count ? AVERROR(ENOMEM) : written;
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

// Pulls every frame the graph has ready into the FIFO. Until the input ends,
// whole encoder frames are encoded as they complete and a frame the FIFO cannot
// take ends the rendition; once it is ending the samples only gather (a frame
// that cannot be stored is left out) and are encoded afterwards. Samples past the
// graph's output limit are padding and are dropped.
bool pull_filtered_audio(rendition_objects &r, bool ending) {
    for (;;) {
        frame_ptr filtered(av_frame_alloc());
        if (!filtered) {
            return false;
        }
        const int pulled = av_buffersink_get_frame(r.loudness.sink, filtered.get());
        if (pulled == AVERROR(EAGAIN) || pulled == AVERROR_EOF) {
            return true;
        }
        if (pulled < 0) {
            return false;
        }
        std::int64_t keep = filtered->nb_samples;
        if (r.loudness.output_limit >= 0) {
            keep = std::clamp<std::int64_t>(
                r.loudness.output_limit - r.loudness.output_samples, 0, keep);
        }
        r.loudness.output_samples += filtered->nb_samples;
        if (keep == 0) {
            continue;
        }
        const bool stored =
            append_to_fifo(r.audio_fifo.get(), filtered.get(), static_cast<int>(keep)) >= 0;
        if (!ending && (!stored || !encode_whole_frames(r))) {
            return false;
        }
    }
}

// Hands a decoded frame to the current graph, counting its samples.
int push_to_graph(rendition_objects &r, AVFrame *frame) {
    const int samples = frame->nb_samples;
    r.loudness.input_samples += samples;
    r.loudness.next_pts =
        frame->pts == AV_NOPTS_VALUE
            ? AV_NOPTS_VALUE
            : frame->pts + av_rescale_q(samples, AVRational{1, frame->sample_rate},
                                        r.audio_input_stream->time_base);
    return av_buffersrc_add_frame_flags(r.loudness.source, frame, 0);
}

// Pads a graph whose input is shorter than the loudness window with silence,
// and limits its output to the samples of its real input. Without padding
// (the silence cannot be made) the graph simply ends as it is.
void pad_short_graph(rendition_objects &r) {
    const std::int64_t rate = r.loudness.rate;
    const std::int64_t window = rate * loudness_window_ms / 1000;
    if (r.loudness.input_samples == 0 || r.loudness.input_samples >= window) {
        return;
    }
    const std::int64_t padding =
        rate * (loudness_window_ms + padding_margin_ms) / 1000 - r.loudness.input_samples;
    frame_ptr silence(av_frame_alloc());
    if (!silence) {
        return;
    }
    silence->nb_samples = static_cast<int>(padding);
    silence->format = r.loudness.format;
    silence->sample_rate = r.loudness.rate;
    if (av_channel_layout_from_string(&silence->ch_layout, r.loudness.layout.c_str()) < 0 ||
        av_frame_get_buffer(silence.get(), 0) < 0) {
        return;
    }
    av_samples_set_silence(silence->extended_data, 0, silence->nb_samples,
                           silence->ch_layout.nb_channels,
                           static_cast<AVSampleFormat>(silence->format));
    silence->pts = r.loudness.next_pts;
    const std::int64_t real_input = r.loudness.input_samples;
    if (push_to_graph(r, silence.get()) >= 0) {
        const AVCodecContext *encoder = r.audio_encoder.get();
        r.loudness.output_limit =
            av_rescale_rnd(real_input, encoder->sample_rate, rate, AV_ROUND_NEAR_INF);
    }
}

// Ends the current graph: end of stream goes in, and all it still holds comes
// out into the FIFO.
bool finish_graph(rendition_objects &r, bool ending) {
    pad_short_graph(r);
    return av_buffersrc_add_frame_flags(r.loudness.source, nullptr, 0) >= 0 &&
           pull_filtered_audio(r, ending);
}

// Hands one decoded frame to the graph. A frame whose rate, format or layout
// differs from the graph's (an ad break that switches stereo to 5.1, say)
// first ends that graph and starts one built for it; the sample count runs on,
// so the audio continues without a gap.
enum class audio_fed { taken, refused, graph_lost };

audio_fed feed_decoded_audio(rendition_objects &r, AVFrame *decoded, bool ending) {
    char layout[64];
    describe_layout(decoded->ch_layout, layout);
    if (decoded->sample_rate != r.loudness.rate || decoded->format != r.loudness.format ||
        r.loudness.layout != layout) {
        // A frame no graph could take is refused like any other bad frame.
        if (decoded->sample_rate <= 0 || decoded->format < 0) {
            return audio_fed::refused;
        }
        if (!finish_graph(r, ending) ||
            !build_loudness_graph(r, decoded->sample_rate, decoded->format, layout)) {
            return audio_fed::graph_lost;
        }
    }
    return push_to_graph(r, decoded) < 0 ? audio_fed::refused : audio_fed::taken;
}

}  // namespace

bool set_up_audio_path(rendition_objects &r) {
    // The re-framing below needs a fixed encoder frame size (AAC always has one).
    if (r.audio_encoder->frame_size <= 0) {
        return false;
    }
    const AVCodecContext *decoder = r.audio_decoder.get();
    char layout[64];
    describe_layout(decoder->ch_layout, layout);
    if (!build_loudness_graph(r, decoder->sample_rate, decoder->sample_fmt, layout)) {
        return false;
    }
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
        if (feed_decoded_audio(r, decoded, false) != audio_fed::taken ||
            !pull_filtered_audio(r, false)) {
            return false;
        }
        av_frame_unref(decoded);
    }
    return true;
}

bool drain_audio(rendition_objects &r) {
    if (!r.audio_decoder) {
        return true;  // a video-only rendition
    }
    AVCodecContext *decoder = r.audio_decoder.get();
    AVFrame *decoded = r.decoded_frame.get();
    avcodec_send_packet(decoder, nullptr);
    while (avcodec_receive_frame(decoder, decoded) >= 0) {
        // A frame the graph refuses is dropped here; a graph that cannot be
        // renewed, or that fails, ends the rendition.
        const audio_fed fed = feed_decoded_audio(r, decoded, true);
        if (fed == audio_fed::graph_lost ||
            (fed == audio_fed::taken && !pull_filtered_audio(r, true))) {
            return false;
        }
        av_frame_unref(decoded);
    }
    if (!finish_graph(r, true)) {
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
