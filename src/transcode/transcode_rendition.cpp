#include "transcode/rendition_objects.hpp"

namespace kestrava {
namespace {

void run_rendition(const std::string &input_path, const std::string &playlist_path,
                   std::int32_t width, std::int32_t height, std::int32_t bit_rate,
                   const std::string &key_info_path) {
    rendition_objects r;
    if (!set_up_rendition(r, input_path, playlist_path, width, height, bit_rate, key_info_path)) {
        return;
    }

    // Any read error counts as the end of input: what was read is finished normally.
    while (av_read_frame(r.input.get(), r.demux_packet.get()) >= 0) {
        bool carried_on = true;
        if (r.demux_packet->stream_index == r.video_stream_index) {
            carried_on = process_video_packet(r);
        } else if (r.demux_packet->stream_index == r.audio_stream_index) {
            carried_on = process_audio_packet(r);
        }
        av_packet_unref(r.demux_packet.get());
        if (!carried_on) {
            return;
        }
    }

    // The last picture's duration waits for the end of the audio.
    drain_video(r);
    if (!drain_audio(r)) {
        return;
    }
    finish_video(r);
    av_write_trailer(r.output.get());
}

}  // namespace

void transcode_rendition(std::string input_path, std::string playlist_path, std::int32_t width,
                         std::int32_t height, std::int32_t bit_rate, std::string key_info_path) {
    // Nothing may leave a worker thread; the owners have released everything
    // by the time an exception reaches this handler.
    try {
        run_rendition(input_path, playlist_path, width, height, bit_rate, key_info_path);
    } catch (...) {
    }
}

}  // namespace kestrava
