#include <fstream>

#include "driver/driver.hpp"

namespace kestrava {

void write_master_playlist(const std::string &path, const std::vector<rendition_entry> &entries) {
    std::ofstream playlist(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!playlist.is_open()) {
        return;
    }
    playlist << "#EXTM3U\n"
             << "#EXT-X-VERSION:3\n";
    for (const rendition_entry &entry : entries) {
        playlist << "#EXT-X-STREAM-INF:BANDWIDTH=" << entry.bandwidth
                 << ",RESOLUTION=" << entry.width << 'x' << entry.height << '\n'
                 << entry.name << ".m3u8\n";
    }
    playlist.close();
}

}  // namespace kestrava
