#include <functional>

#include "transcode/transcode.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kestrava {

bool encode_frame(AVCodecContext *encoder, const AVFrame *frame, AVPacket *packet,
                  const std::function<bool(AVPacket *)> &take) {
    if (avcodec_send_frame(encoder, frame) < 0) {
        return false;
    }
    for (;;) {
        const int received = avcodec_receive_packet(encoder, packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return true;
        }
        if (received < 0 || !take(packet)) {
            return false;
        }
    }
}

bool write_packet(AVFormatContext *muxer, AVStream *stream, AVRational time_base,
                  AVPacket *packet) {
    // The muxer may settle a stream's time base only when its header is written.
    av_packet_rescale_ts(packet, time_base, stream->time_base);
    packet->stream_index = stream->index;
    const int written = av_interleaved_write_frame(muxer, packet);
    // The muxer takes the packet's reference on success and leaves it blank on failure.
    av_packet_unref(packet);
    return written >= 0;
}

bool encode_and_write(AVCodecContext *encoder, AVFormatContext *muxer, AVStream *stream,
                      const AVFrame *frame, AVPacket *packet) {
    const auto write = [=](AVPacket *encoded) {
        return write_packet(muxer, stream, encoder->time_base, encoded);
    };
    // Held by reference, the writer fits std::function's own storage: no
    // allocation for each audio frame.
    return encode_frame(encoder, frame, packet, std::ref(write));
}

}  // namespace kestrava
