// What the Python module declares: its docstrings and the call's defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/driver.hpp"

namespace kestrava {

inline constexpr const char *module_docstring =
    "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
inline constexpr const char *hls_encoder_docstring = "Transcode video to HLS with dynamic ABR";
inline constexpr const char *default_key_info_path = "enc.keyinfo";

// The whole ladder, largest first, and each name's default bit rate by position.
inline std::vector<std::string> default_resolutions() {
    std::vector<std::string> names;
    for (const ladder_step &step : rendition_ladder) {
        names.emplace_back(step.name);
    }
    return names;
}

inline std::vector<std::int32_t> default_bitrates_list() {
    std::vector<std::int32_t> rates;
    for (const ladder_step &step : rendition_ladder) {
        rates.push_back(step.default_bitrate);
    }
    return rates;
}

}  // namespace kestrava
