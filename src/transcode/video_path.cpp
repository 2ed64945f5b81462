#include "transcode/rendition_objects.hpp"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kestrava {
namespace {

// Clock jumps larger than this (in 1/30 s ticks) are discontinuities, not
// timing. Pictures reach us in presentation order, so a stamp never steps
// back by more than rounding on its own; and MPEG-TS must code a stamp at
// least every 0.7 s, so a forward step of a whole second means its clock
// jumped. Joined clips and restarted encoders jump by far more.
constexpr std::int64_t clock_jump_ticks = 30;

// Moves a picture's stamp, read in `time_base` (the one it was made in: the
// input stream's for a decoded picture, the sink's for a corrected one), onto
// the encoder's 1/30 s grid, measured from the origin. A picture without a
// stamp follows the last one encoded by one tick.
// After a clock jump, pictures carry on one tick after the last one encoded.
// A picture that would not advance past the last one encoded is dropped,
// because the muxer refuses packets whose decoding stamps do not increase.
bool stamp_picture(rendition_objects &r, const AVFrame *picture, AVRational time_base) {
    video_timing &t = r.video_time;
    const std::int64_t last = t.last_pts;
    std::int64_t pts;
    if (picture->pts == AV_NOPTS_VALUE) {
        pts = last == AV_NOPTS_VALUE ? 0 : last + 1;
    } else {
        // The origin is moved to the picture's time base rather than the stamp
        // to the stream's: a deinterlacer's is a finer one, and exact.
        const std::int64_t origin =
            av_rescale_q(t.origin, r.video_input_stream->time_base, time_base);
        pts = av_rescale_q(picture->pts - origin, time_base, r.video_encoder->time_base) +
              t.clock_shift;
        const bool jumped = last != AV_NOPTS_VALUE &&
                            (pts < last - clock_jump_ticks ||
                             (t.clock_may_jump && pts > last + clock_jump_ticks));
        if (jumped) {
            t.clock_shift += last + 1 - pts;
            pts = last + 1;
        }
    }
    if (last != AV_NOPTS_VALUE && pts <= last) {
        return false;
    }
    r.scaled_frame->pts = pts;
    t.last_pts = pts;
    return true;
}

// Scales the picture into the one scaled frame. A picture of another size or
// pixel format than the scaler's gets a scaler built for it first.
bool scale_picture(rendition_objects &r, const AVFrame *picture) {
    if (picture->width != r.scaler_source_width || picture->height != r.scaler_source_height ||
        picture->format != r.scaler_source_format) {
        build_scaler(r, picture->width, picture->height, picture->format);
    }
    // Pictures no scaler can take are skipped until the geometry changes again.
    if (!r.scaler) {
        return false;
    }
    AVFrame *scaled = r.scaled_frame.get();
    // Normally a no-op: only copies if the encoder still holds the last picture.
    if (av_frame_make_writable(scaled) < 0) {
        return false;
    }
    sws_scale(r.scaler.get(), picture->data, picture->linesize, 0, picture->height, scaled->data,
              scaled->linesize);
    return true;
}

}  // namespace

void build_scaler(rendition_objects &r, int width, int height, int format) {
    r.scaler_source_width = width;
    r.scaler_source_height = height;
    r.scaler_source_format = format;
    // libswscale aborts the process, rather than failing, on a pixel format it
    // has no description for; damaged sources can report one (or no size).
    const AVPixelFormat source_format = static_cast<AVPixelFormat>(format);
    if (width <= 0 || height <= 0 || !sws_isSupportedInput(source_format)) {
        r.scaler.reset();
        return;
    }
    const AVCodecContext *encoder = r.video_encoder.get();
    r.scaler.reset(sws_getContext(width, height, source_format, encoder->width, encoder->height,
                                  encoder->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
}

bool encode_picture(rendition_objects &r, const AVFrame *picture, AVRational time_base) {
    video_timing &t = r.video_time;
    const std::int64_t previous_pts = t.last_pts;
    const std::int64_t previous_shift = t.clock_shift;
    if (!stamp_picture(r, picture, time_base)) {
        return true;
    }
    if (!scale_picture(r, picture)) {
        t.last_pts = previous_pts;
        t.clock_shift = previous_shift;
        return true;
    }
    // The previous picture lasts until this one.
    if (previous_pts != AV_NOPTS_VALUE) {
        t.durations[previous_pts] = t.last_pts - previous_pts;
    }
    return encode_video(r, r.scaled_frame.get());
}

bool process_video_packet(rendition_objects &r) {
    AVCodecContext *decoder = r.video_decoder.get();
    AVFrame *decoded = r.decoded_frame.get();
    if (avcodec_send_packet(decoder, r.demux_packet.get()) < 0) {
        return true;  // a packet the decoder refuses is dropped
    }
    while (avcodec_receive_frame(decoder, decoded) >= 0) {
        if (!correct_picture(r, decoded)) {
            return false;
        }
        av_frame_unref(decoded);
    }
    return true;
}

void drain_video(rendition_objects &r) {
    AVCodecContext *decoder = r.video_decoder.get();
    AVFrame *decoded = r.decoded_frame.get();
    avcodec_send_packet(decoder, nullptr);
    while (avcodec_receive_frame(decoder, decoded) >= 0) {
        correct_picture(r, decoded);
        av_frame_unref(decoded);
    }
    correct_picture(r, nullptr);
    encode_video(r, nullptr);
}

}  // namespace kestrava
