#include <algorithm>
#include <map>
#include <thread>
#include <utility>

#include "driver/driver.hpp"
#include "transcode/transcode.hpp"

namespace kestrava {
namespace {

// A name outside the ladder still gets a rate when the caller's list falls short.
constexpr std::int32_t fallback_bitrate = 1000000;

const ladder_step *find_ladder_step(const std::string &name) {
    for (const ladder_step &step : rendition_ladder) {
        if (name == step.name) {
            return &step;
        }
    }
    return nullptr;
}

void join_all(std::vector<std::thread> &workers) {
    for (std::thread &worker : workers) {
        if (worker.joinable()) {
            worker.join();
        }
    }
}

}  // namespace

void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<std::int32_t> bitrate, std::string key) {
    const std::optional<source_size> source = probe_source(input);
    if (!source) {
        return;
    }

    std::map<std::string, std::int32_t> default_bitrates;
    for (const ladder_step &step : rendition_ladder) {
        default_bitrates.emplace(step.name, step.default_bitrate);
    }
    // Bit rates pair with names by position; only positions the caller left
    // out are filled from the table.
    while (bitrate.size() < resolution.size()) {
        const auto found = default_bitrates.find(resolution[bitrate.size()]);
        bitrate.push_back(found != default_bitrates.end() ? found->second : fallback_bitrate);
    }

    const bool portrait = source->width < source->height;
    std::vector<rendition_entry> entries;
    std::vector<std::thread> workers;
    try {
        for (std::size_t i = 0; i < resolution.size(); ++i) {
            const std::string &name = resolution[i];
            const ladder_step *step = find_ladder_step(name);
            // A repeated name would start a second worker on the same files.
            const bool repeated =
                std::any_of(entries.begin(), entries.end(),
                            [&name](const rendition_entry &entry) { return entry.name == name; });
            if (step == nullptr || repeated) {
                continue;
            }
            std::int32_t width = step->wide_side;
            std::int32_t height = step->narrow_side;
            if (portrait) {
                std::swap(width, height);
            }
            entries.push_back(rendition_entry{name, width, height, bitrate[i]});
            workers.emplace_back(transcode_rendition, input, name + ".m3u8", width, height,
                                 bitrate[i], key);
        }
    } catch (...) {
        // Never leave a started worker running unjoined behind an exception.
        join_all(workers);
        throw;
    }
    join_all(workers);

    write_master_playlist(output, entries);
}

}  // namespace kestrava
