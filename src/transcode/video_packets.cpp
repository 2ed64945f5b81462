#include <algorithm>

#include "transcode/rendition_objects.hpp"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kestrava {
namespace {

// Gives the packet its picture's duration, when that is known: the muxer
// lists a segment as long as its pictures' durations add up to, so a picture
// lasts until the next one. A packet whose stamp is none of the pictures'
// lasts one tick, as does every packet at the end that still lacks one.
bool time_packet(video_timing &t, AVPacket *packet, bool ending) {
    const auto found = t.durations.find(packet->pts);
    if (found != t.durations.end()) {
        packet->duration = found->second;
        t.durations.erase(found);
        return true;
    }
    if (ending || packet->pts == AV_NOPTS_VALUE || packet->pts < t.last_pts) {
        packet->duration = 1;
        return true;
    }
    return false;  // the next picture, not stamped yet, tells
}

bool write_video_packet(rendition_objects &r, AVPacket *packet) {
    return write_packet(r.output.get(), r.video_output_stream, r.video_encoder->time_base, packet);
}

// Writes the waiting packets, in order, as far as their durations are known.
bool write_timed_packets(rendition_objects &r, bool ending) {
    video_timing &t = r.video_time;
    while (!t.waiting.empty() && time_packet(t, t.waiting.front().get(), ending)) {
        const bool written = write_video_packet(r, t.waiting.front().get());
        t.waiting.pop_front();
        if (!written) {
            return false;
        }
    }
    return true;
}

// Writes the packet at once when nothing waits before it and its duration is
// known (the usual case: the encoder gives it out pictures later); otherwise
// it waits in order.
bool hold_packet(rendition_objects &r, AVPacket *packet) {
    video_timing &t = r.video_time;
    if (t.waiting.empty() && time_packet(t, packet, false)) {
        return write_video_packet(r, packet);
    }
    packet_ptr held(av_packet_alloc());
    if (!held) {
        av_packet_unref(packet);
        return false;
    }
    av_packet_move_ref(held.get(), packet);
    t.waiting.push_back(std::move(held));
    return write_timed_packets(r, false);
}

}  // namespace

bool encode_video(rendition_objects &r, const AVFrame *picture) {
    return encode_frame(r.video_encoder.get(), picture, r.encoded_packet.get(),
                        [&r](AVPacket *packet) { return hold_packet(r, packet); });
}

void finish_video(rendition_objects &r) {
    video_timing &t = r.video_time;
    if (t.last_pts != AV_NOPTS_VALUE) {
        std::int64_t end = t.last_pts + 1;
        // Sound that goes on after the last picture keeps it on screen, so the
        // playlist lists all of the sound.
        if (r.audio_encoder) {
            end = std::max(end, av_rescale_q_rnd(r.audio_sample_count, r.audio_encoder->time_base,
                                                 r.video_encoder->time_base, AV_ROUND_NEAR_INF));
        }
        t.durations[t.last_pts] = end - t.last_pts;
    }
    write_timed_packets(r, true);
}

}  // namespace kestrava
