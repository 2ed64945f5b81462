#include "transcode/transcode.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kestrava {

void close_rendition_io(AVFormatContext *context) {
    if (context == nullptr) {
        return;
    }
    if (context->iformat != nullptr) {
        avformat_close_input(&context);
        return;
    }
    // Muxers that open their own files (AVFMT_NOFILE, like "hls") close them themselves.
    if (context->oformat != nullptr && !(context->oformat->flags & AVFMT_NOFILE) &&
        context->pb != nullptr) {
        avio_closep(&context->pb);
    }
    avformat_free_context(context);
}

}  // namespace kestrava
