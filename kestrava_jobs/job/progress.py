"""Progress of a running job, read from the media playlists as they grow, and the one
record a task runner stores it as."""

import pathlib

from ..hls.check import playlist_seconds
from .request import ProgressCallback


def progress_record(done: float, total: float | None, playable: list[str], pictures: list[str] | None = None,
                    published: dict[str, float] | None = None) -> dict:
    """A PROGRESS state's meta: seconds made of every rendition, the source's length, the
    renditions the master lists so far, the side files in the package (poster.jpg,
    storyboard.vtt), and the seconds in the package of a rendition published as it grows."""
    return {"done": done, "total": total, "playable": playable, "pictures": pictures or [],
            "published": published or {}}


class PlaylistProgress:
    """Reports the seconds every rendition has written so far, from the growing media
    playlists: (0, total) at once, then whenever the slowest one moves on (a playlist
    not written yet counts as 0 s), and (total, total) once the job has ended. The
    figure never goes back."""

    def __init__(self, playlists: list[pathlib.Path], total: float | None,
                 callback: ProgressCallback | None) -> None:
        self.playlists = playlists
        self.total = total
        self.callback = callback
        self.reported = 0.0
        if callback is not None:
            callback(0.0, total)

    def poll(self) -> None:
        if self.callback is None:
            return
        done = min(playlist_seconds(playlist) for playlist in self.playlists)
        if done > self.reported:
            self.reported = done
            self.callback(done, self.total)

    def report_final(self, complete_durations: list[float]) -> None:
        if self.callback is not None:
            final = self.total if self.total is not None else min(complete_durations, default=0.0)
            self.callback(max(final, self.reported), self.total)
