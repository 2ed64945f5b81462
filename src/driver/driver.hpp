// The job driver: probe the source, resolve the rendition ladder, run one
// worker thread per rendition, then write the master playlist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrava {

// One accepted rendition, as the master playlist lists it.
struct rendition_entry {
    std::string name;
    std::int32_t width;
    std::int32_t height;
    std::int32_t bandwidth;
};

// Frame size of the source's best decodable video stream, as it is shown
// (turned by its display matrix).
struct source_size {
    std::int32_t width;
    std::int32_t height;
};

// Runs the whole job on the calling thread and returns when it is done.
// Media failures are silent; only a thread that cannot be started (or memory
// exhaustion) throws, after every started worker has been joined.
void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<std::int32_t> bitrate, std::string key);

// Nothing when the source cannot be opened or has no video stream with a decoder.
std::optional<source_size> probe_source(const std::string &input);

// Writes (replacing) the master playlist; failures are not reported.
void write_master_playlist(const std::string &path, const std::vector<rendition_entry> &entries);

}  // namespace kestrava
