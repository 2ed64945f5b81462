// The job driver: probe the source, resolve the rendition ladder, run one
// worker thread per rendition, then write the master playlist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrava {

// The rendition ladder: the only names accepted (matched byte for byte), largest first,
// each with its frame size and its default video bit rate. The binding's default lists
// and the driver's table of default bit rates are both read from it.
struct ladder_step {
    const char *name;
    std::int32_t wide_side;
    std::int32_t narrow_side;
    std::int32_t default_bitrate;
};

inline constexpr ladder_step rendition_ladder[] = {
    {"1080p", 1920, 1080, 5000000},
    {"720p", 1280, 720, 2500000},
    {"480p", 854, 480, 1000000},
    {"360p", 640, 360, 400000},
};

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
