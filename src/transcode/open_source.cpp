#include <cstring>

#include "transcode/av_owners.hpp"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/avstring.h>
}

namespace kestrava {
namespace {

struct referencing_demuxer {
    const char *name;
    const char *extensions;  // what files of this kind are named
};

// Demuxers that open further files named inside the source, with the names
// their own files carry. The sources are users' uploads: an "upload.mp4" that
// is really a playlist naming /srv/uploads/<someone-else>/video.ts would pull
// that file into the uploader's package. FFmpeg's protocol whitelist keeps a
// local file from reaching the network (which rules out "sdp"), and the
// concat demuxer refuses absolute paths, but local files stay reachable.
constexpr referencing_demuxer referencing_demuxers[] = {
    {"hls", "m3u8,m3u"},
    {"dash", "mpd"},
    {"concat", "ffconcat,ffcat"},
    {"imf", "xml"},  // picked only when asked for today; listed in case that changes
};

bool is_local(const std::string &path) {
    const char *protocol = avio_find_protocol_name(path.c_str());
    return protocol != nullptr && std::strcmp(protocol, "file") == 0;
}

// A local source whose content is a referencing format but whose name is not.
bool disguised(const AVInputFormat *format, const std::string &path) {
    if (format == nullptr) {
        return false;
    }
    for (const referencing_demuxer &demuxer : referencing_demuxers) {
        if (av_match_name(demuxer.name, format->name) &&
            !av_match_ext(path.c_str(), demuxer.extensions)) {
            return true;
        }
    }
    return false;
}

// The demuxer FFmpeg would pick for a local source, found the way
// avformat_open_input finds it but without running the demuxer, which would
// already open the files the source names.
const AVInputFormat *probe_local_format(const std::string &path) {
    AVIOContext *opened = nullptr;
    if (avio_open(&opened, path.c_str(), AVIO_FLAG_READ) < 0) {
        return nullptr;
    }
    io_context_ptr io(opened);
    const AVInputFormat *format = nullptr;
    if (av_probe_input_buffer2(io.get(), &format, path.c_str(), nullptr, 0, 0) < 0) {
        return nullptr;
    }
    return format;
}

}  // namespace

int open_source(AVFormatContext **context, const std::string &path) {
    // A local source is opened with the demuxer its probe found, so the file
    // is probed once and what was checked is what runs.
    const AVInputFormat *format = nullptr;
    if (is_local(path)) {
        format = probe_local_format(path);
        if (disguised(format, path)) {
            return AVERROR(EPERM);
        }
    }
    return avformat_open_input(context, path.c_str(), format, nullptr);
}

}  // namespace kestrava
