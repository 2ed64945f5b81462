// What the Python module declares: its docstrings and the call's defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrava {

inline constexpr const char *module_docstring =
    "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
inline constexpr const char *hls_encoder_docstring = "Transcode video to HLS with dynamic ABR";
inline constexpr const char *default_key_info_path = "enc.keyinfo";

// The whole ladder, largest first, with each name's default bit rate beside it.
inline std::vector<std::string> default_resolutions() { return {"1080p", "720p", "480p", "360p"}; }
inline std::vector<std::int32_t> default_bitrates_list() {
    return {5000000, 2500000, 1000000, 400000};
}

}  // namespace kestrava
