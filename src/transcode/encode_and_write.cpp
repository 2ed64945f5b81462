#include "transcode/transcode.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kestrava {

bool encode_and_write(AVCodecContext *encoder, AVFormatContext *muxer, AVStream *stream,
                      const AVFrame *frame, AVPacket *packet) {
    if (avcodec_send_frame(encoder, frame) < 0) {
        return false;
    }
    for (;;) {
        const int received = avcodec_receive_packet(encoder, packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
            return true;
        }
        if (received < 0) {
            return false;
        }
        // x264 leaves durations out; without them the muxer counts each
        // segment one picture short. A picture lasts one tick of the grid.
        if (packet->duration == 0 && encoder->codec_type == AVMEDIA_TYPE_VIDEO) {
            packet->duration = 1;
        }
        // The muxer may settle a stream's time base only when its header is written.
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        const int written = av_interleaved_write_frame(muxer, packet);
        // The muxer takes the packet's reference on success and leaves it blank on failure.
        av_packet_unref(packet);
        if (written < 0) {
            return false;
        }
    }
}

}  // namespace kestrava
