#include <cmath>

#include "transcode/transcode.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace kestrava {
namespace {

const std::int32_t *display_matrix(const AVStream *stream) {
#if LIBAVFORMAT_VERSION_INT >= AV_VERSION_INT(60, 15, 100)
    // FFmpeg 6.1 moved a stream's side data into its codec parameters.
    const AVPacketSideData *found =
        av_packet_side_data_get(stream->codecpar->coded_side_data,
                                stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    if (found == nullptr || found->size < 9 * sizeof(std::int32_t)) {
        return nullptr;
    }
    return reinterpret_cast<const std::int32_t *>(found->data);
#else
    size_t size = 0;
    const std::uint8_t *found = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (found == nullptr || size < 9 * sizeof(std::int32_t)) {
        return nullptr;
    }
    return reinterpret_cast<const std::int32_t *>(found);
#endif
}

}  // namespace

int display_rotation(const AVStream *stream) {
    const std::int32_t *matrix = display_matrix(stream);
    if (matrix == nullptr) {
        return 0;
    }
    // The matrix gives the counter-clockwise angle; players turn clockwise by its negation.
    const double angle = -av_display_rotation_get(matrix);
    if (std::isnan(angle)) {
        return 0;
    }
    const long quarter_turns = std::lround(angle / 90.0);
    // Only whole quarter turns are honoured, as players do; anything else stays as stored.
    if (std::fabs(angle - 90.0 * static_cast<double>(quarter_turns)) >= 1.0) {
        return 0;
    }
    return static_cast<int>(((quarter_turns % 4) + 4) % 4) * 90;
}

}  // namespace kestrava
