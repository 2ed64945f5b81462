#include "transcode/rendition_objects.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace kestrava {
namespace {

codec_context_ptr open_decoder(const AVCodec *decoder, const AVStream *stream) {
    codec_context_ptr context(avcodec_alloc_context3(decoder));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0 ||
        avcodec_open2(context.get(), decoder, nullptr) < 0) {
        return nullptr;
    }
    return context;
}

// The colour description of the pixels the rendition is made of, stated in
// its stream so that players need not guess (many guess BT.601 for SD
// sizes). The scaler gives limited range, keeps a YUV source's matrix and
// turns RGB into YUV with BT.601's; tone mapping gives BT.709 throughout.
void describe_colour(AVCodecContext *encoder, const AVCodecContext *decoder, bool tone_mapped) {
    encoder->color_range = AVCOL_RANGE_MPEG;
    if (tone_mapped) {
        encoder->color_primaries = AVCOL_PRI_BT709;
        encoder->color_trc = AVCOL_TRC_BT709;
        encoder->colorspace = AVCOL_SPC_BT709;
        return;
    }
    encoder->color_primaries = decoder->color_primaries;
    encoder->color_trc = decoder->color_trc;
    const AVPixFmtDescriptor *format = av_pix_fmt_desc_get(decoder->pix_fmt);
    if (format != nullptr && (format->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL))) {
        encoder->colorspace = AVCOL_SPC_SMPTE170M;
    } else if (decoder->colorspace != AVCOL_SPC_RGB) {
        encoder->colorspace = decoder->colorspace;
    }
}

codec_context_ptr open_video_encoder(const AVCodec *encoder, const rendition_objects &r,
                                     std::int32_t width, std::int32_t height,
                                     std::int32_t bit_rate) {
    codec_context_ptr context(avcodec_alloc_context3(encoder));
    if (!context) {
        return nullptr;
    }
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    context->time_base = AVRational{1, 30};
    context->thread_count = 0;
    context->framerate = AVRational{30, 1};
    context->bit_rate = bit_rate;
    av_opt_set(context->priv_data, "preset", "fast", 0);
    // A key frame every 60 pictures and nowhere else, so 6 s segments start on one.
    context->gop_size = 60;
    context->keyint_min = 60;
    av_opt_set(context->priv_data, "sc_threshold", "0", 0);
    describe_colour(context.get(), r.video_decoder.get(), r.corrections.tone_map);
    if (avcodec_open2(context.get(), encoder, nullptr) < 0) {
        return nullptr;
    }
    return context;
}

codec_context_ptr open_audio_encoder(const AVCodec *encoder) {
    codec_context_ptr context(avcodec_alloc_context3(encoder));
    if (!context) {
        return nullptr;
    }
    av_channel_layout_uninit(&context->ch_layout);
    av_channel_layout_from_mask(&context->ch_layout, AV_CH_LAYOUT_STEREO);
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    context->sample_rate = 44100;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->time_base = AVRational{1, 44100};
    context->bit_rate = 128000;
    if (avcodec_open2(context.get(), encoder, nullptr) < 0) {
        return nullptr;
    }
    return context;
}

AVStream *add_output_stream(AVFormatContext *muxer, const AVCodec *encoder,
                            const AVCodecContext *encoder_context) {
    AVStream *stream = avformat_new_stream(muxer, encoder);
    if (stream == nullptr ||
        avcodec_parameters_from_context(stream->codecpar, encoder_context) < 0) {
        return nullptr;
    }
    stream->time_base = encoder_context->time_base;
    return stream;
}

// The stream's first stamp in microseconds, AV_NOPTS_VALUE when unknown.
std::int64_t first_stamp(const AVStream *stream) {
    if (stream == nullptr || stream->start_time == AV_NOPTS_VALUE) {
        return AV_NOPTS_VALUE;
    }
    return av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
}

// One origin for both streams: the earlier of their first stamps. Other
// streams (data, subtitles) do not count, so the format's own start does not
// do. Audio is stamped by sample count from its first sample's offset.
void set_timeline_origin(rendition_objects &r) {
    const std::int64_t video_start = first_stamp(r.video_input_stream);
    const std::int64_t audio_start = first_stamp(r.audio_input_stream);
    std::int64_t origin = video_start;
    if (origin == AV_NOPTS_VALUE || (audio_start != AV_NOPTS_VALUE && audio_start < origin)) {
        origin = audio_start;
    }
    if (origin == AV_NOPTS_VALUE) {
        return;
    }
    r.video_time.origin = origin == video_start
                         ? r.video_input_stream->start_time
                         : av_rescale_q(origin, AV_TIME_BASE_Q, r.video_input_stream->time_base);
    if (audio_start != AV_NOPTS_VALUE) {
        r.audio_sample_count =
            av_rescale_q(audio_start - origin, AV_TIME_BASE_Q, r.audio_encoder->time_base);
    }
}

}  // namespace

bool set_up_rendition(rendition_objects &r, const std::string &input_path,
                      const std::string &playlist_path, std::int32_t width, std::int32_t height,
                      std::int32_t bit_rate, const std::string &key_info_path) {
    AVFormatContext *opened = nullptr;
    if (open_source(&opened, input_path) < 0) {
        return false;
    }
    r.input.reset(opened);
    if (avformat_find_stream_info(r.input.get(), nullptr) < 0) {
        return false;
    }

    const AVCodec *video_decoder = nullptr;
    const AVCodec *audio_decoder = nullptr;
    r.video_stream_index =
        av_find_best_stream(r.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &video_decoder, 0);
    r.audio_stream_index =
        av_find_best_stream(r.input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &audio_decoder, 0);
    if (r.video_stream_index < 0) {
        return false;
    }
    // Without audio it can decode (screen recordings, GIFs made into MP4) the
    // rendition is video only.
    const bool with_audio = r.audio_stream_index >= 0;
    r.video_input_stream = r.input->streams[r.video_stream_index];
    r.audio_input_stream = with_audio ? r.input->streams[r.audio_stream_index] : nullptr;
    r.video_time.clock_may_jump = (r.input->iformat->flags & AVFMT_TS_DISCONT) != 0;

    r.video_decoder = open_decoder(video_decoder, r.video_input_stream);
    if (!r.video_decoder) {
        return false;
    }
    plan_corrections(r);
    if (with_audio) {
        r.audio_decoder = open_decoder(audio_decoder, r.audio_input_stream);
        if (!r.audio_decoder) {
            return false;
        }
    }

    const AVCodec *video_encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    const AVCodec *audio_encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (video_encoder == nullptr || audio_encoder == nullptr) {
        return false;
    }
    r.video_encoder = open_video_encoder(video_encoder, r, width, height, bit_rate);
    if (!r.video_encoder) {
        return false;
    }
    if (with_audio) {
        r.audio_encoder = open_audio_encoder(audio_encoder);
        if (!r.audio_encoder) {
            return false;
        }
    }

    AVFormatContext *muxer = nullptr;
    if (avformat_alloc_output_context2(&muxer, nullptr, "hls", playlist_path.c_str()) < 0) {
        return false;
    }
    r.output.reset(muxer);
    r.video_output_stream = add_output_stream(muxer, video_encoder, r.video_encoder.get());
    if (r.video_output_stream == nullptr) {
        return false;
    }
    if (with_audio) {
        r.audio_output_stream = add_output_stream(muxer, audio_encoder, r.audio_encoder.get());
        if (r.audio_output_stream == nullptr) {
            return false;
        }
    }

    // 720p.m3u8 -> 720p_000.ts, 720p_001.ts, ...
    r.segment_prefix = playlist_path.substr(0, playlist_path.rfind('.'));
    r.segment_pattern = r.segment_prefix + "_%03d.ts";
    av_opt_set(muxer->priv_data, "hls_time", "6", 0);
    av_opt_set(muxer->priv_data, "hls_segment_filename", r.segment_pattern.c_str(), 0);
    av_opt_set(muxer->priv_data, "hls_list_size", "0", 0);
    av_opt_set(muxer->priv_data, "hls_key_info_file", key_info_path.c_str(), 0);

    if (!(muxer->oformat->flags & AVFMT_NOFILE) &&
        avio_open(&muxer->pb, playlist_path.c_str(), AVIO_FLAG_WRITE) < 0) {
        return false;
    }
    if (avformat_write_header(muxer, nullptr) < 0) {
        return false;
    }

    // Built for the pictures as they reach it: the decoder's, turned upright,
    // or tone-mapped at the rendition's size. The video path rebuilds it if
    // the pictures turn out different, or builds it from the first picture
    // when the source's size or pixel format is not known yet.
    const picture_geometry corrected = corrected_geometry(r);
    build_scaler(r, corrected.width, corrected.height, corrected.format);

    if (with_audio && !set_up_audio_path(r)) {
        return false;
    }

    r.demux_packet.reset(av_packet_alloc());
    r.encoded_packet.reset(av_packet_alloc());
    r.decoded_frame.reset(av_frame_alloc());
    r.scaled_frame.reset(av_frame_alloc());
    if (!r.demux_packet || !r.encoded_packet || !r.decoded_frame || !r.scaled_frame) {
        return false;
    }
    const AVCodecContext *encoder = r.video_encoder.get();
    r.scaled_frame->format = encoder->pix_fmt;
    r.scaled_frame->width = encoder->width;
    r.scaled_frame->height = encoder->height;
    if (av_frame_get_buffer(r.scaled_frame.get(), 32) < 0) {
        return false;
    }
    set_timeline_origin(r);
    return true;
}

}  // namespace kestrava
