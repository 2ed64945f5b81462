"""The master playlist players get: each checked rendition with what Apple's authoring
rules ask of a variant, the media groups (caption tracks, for instance) that every
variant then names, and the package's side files (poster, storyboard) as session data."""

from dataclasses import dataclass, field

import m3u8

from ..common.result import RenditionResult
from ..storage import names

# The attribute of EXT-X-STREAM-INF that names a group of each type, as m3u8 spells it.
GROUP_ATTRIBUTES = {"SUBTITLES": "subtitles", "AUDIO": "audio", "VIDEO": "video"}


@dataclass(frozen=True)
class MediaGroup:
    """EXT-X-MEDIA entries of one type and group id."""
    kind: str  # "SUBTITLES", "AUDIO" or "VIDEO"
    group_id: str
    # Each entry's attributes as m3u8.Media takes them: uri, name, language, default, ...
    entries: list[dict] = field(default_factory=list)


def master_text(renditions: list[RenditionResult], groups: tuple[MediaGroup, ...] = (),
                side_files: tuple[str, ...] = ()) -> str:
    master = m3u8.M3U8()
    master.version = "3"
    for name in side_files:
        master.session_data.append(m3u8.model.SessionData(data_id=names.SESSION_DATA_IDS[name], uri=name))
    for group in groups:
        for entry in group.entries:
            master.add_media(m3u8.Media(type=group.kind, group_id=group.group_id, **entry))
    grouped = {GROUP_ATTRIBUTES[group.kind]: group.group_id for group in groups}
    for rendition in renditions:
        info = {"bandwidth": rendition.peak_bitrate, "average_bandwidth": rendition.bitrate,
                "resolution": f"{rendition.width}x{rendition.height}", "codecs": rendition.codecs}
        if rendition.frame_rate:
            info["frame_rate"] = rendition.frame_rate
        master.add_playlist(m3u8.Playlist(uri=names.playlist(rendition.name), stream_info={**info, **grouped},
                                          media=master.media, base_uri=None))
    return master.dumps()
