// The rendition worker: one source file in, one encrypted HLS rendition out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace kestrava {

// Body of one worker thread. Reports nothing and never throws: the outcome is
// whatever the HLS muxer left in the current working directory.
void transcode_rendition(std::string input_path, std::string playlist_path, std::int32_t width,
                         std::int32_t height, std::int32_t bit_rate, std::string key_info_path);

// Sends one frame (null to flush) to an encoder and hands every packet it
// yields to `take`, which leaves the packet empty. False when sending,
// receiving or taking failed.
bool encode_frame(AVCodecContext *encoder, const AVFrame *frame, AVPacket *packet,
                  const std::function<bool(AVPacket *)> &take);

// Writes one packet stamped in `time_base` to the muxer's stream, and leaves
// the packet empty. False when the muxer refuses it.
bool write_packet(AVFormatContext *muxer, AVStream *stream, AVRational time_base,
                  AVPacket *packet);

// Sends one frame (null to flush) to an encoder and writes every packet it
// yields to the muxer. False when sending, receiving or writing failed.
bool encode_and_write(AVCodecContext *encoder, AVFormatContext *muxer, AVStream *stream,
                      const AVFrame *frame, AVPacket *packet);

// avformat_open_input for a source that may be an untrusted upload: a local
// file whose content is a playlist or manifest of another name (an "mp4" that
// is really an HLS playlist naming other local files) is refused, as if it
// could not be opened. Network URLs and properly named playlists open as usual.
int open_source(AVFormatContext **context, const std::string &path);

// Closes a demuxer or a muxer context; never writes a trailer. Null is allowed.
void close_rendition_io(AVFormatContext *context);

// How far a stream's pictures are to be turned clockwise to be shown upright,
// from its display matrix (phones store portrait video this way): 0, 90, 180
// or 270 degrees.
int display_rotation(const AVStream *stream);

}  // namespace kestrava
