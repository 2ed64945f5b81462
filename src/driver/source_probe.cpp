#include "driver/driver.hpp"
#include "transcode/av_owners.hpp"
#include "transcode/transcode.hpp"

namespace kestrava {

std::optional<source_size> probe_source(const std::string &input) {
    AVFormatContext *opened = nullptr;
    if (open_source(&opened, input) < 0) {
        return std::nullopt;
    }
    format_context_ptr source(opened);

    // A failed probe still leaves whatever stream information the header gave.
    avformat_find_stream_info(source.get(), nullptr);

    const AVCodec *decoder = nullptr;
    const int index = av_find_best_stream(source.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (index < 0) {
        return std::nullopt;
    }
    const AVStream *stream = source->streams[index];
    const AVCodecParameters *parameters = stream->codecpar;
    // Phones store portrait video as landscape pictures with a display matrix
    // that turns them; what counts is the picture as it is shown.
    const int rotation = display_rotation(stream);
    if (rotation == 90 || rotation == 270) {
        return source_size{parameters->height, parameters->width};
    }
    return source_size{parameters->width, parameters->height};
}

}  // namespace kestrava
