"""The ffmpeg CLI's calls that make the pictures (and ffprobe's that plan them): each in a
child at the lowest nice value, its session lowered too where it should take only the
CPU the renditions leave, and stoppable when the job ends."""

import subprocess
import threading

from ..common.deadline import Deadline
from ..common.ffmpeg_words import first_words
from ..common.process_group import lower_session, stop

# The pictures' children run at the lowest priority there is.
PICTURES_NICE = 19
FFMPEG = ("ffmpeg", "-nostdin", "-hide_banner", "-v", "error")
FFPROBE = ("ffprobe", "-v", "error")


class PictureFailed(RuntimeError):
    """FFmpeg made nothing of the call; its message says why."""


class Children:
    """The child at work, if any; `stop` kills it and every later one before it starts.
    With `idle`, each child's session is lowered too: it then takes only the CPU the
    renditions leave, where otherwise it would share it evenly with each of them."""

    def __init__(self, idle: bool = False) -> None:
        self.idle = idle
        self.lock = threading.Lock()
        self.current: subprocess.Popen | None = None
        self.stopped = False

    def run(self, arguments: list[str], deadline: Deadline, program: tuple[str, ...] = FFMPEG) -> bytes:
        """What ffmpeg (or ffprobe) writes to its output; PictureFailed with FFmpeg's words
        when it fails or the job's time runs out."""
        with self.lock:
            if self.stopped:
                raise PictureFailed("the job ended first")
            self.current = subprocess.Popen(["nice", "-n", str(PICTURES_NICE), *program, *arguments],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        child = self.current
        if self.idle:
            lower_session(child.pid, PICTURES_NICE)
        try:
            out, err = child.communicate(timeout=deadline.left())
        except subprocess.TimeoutExpired:
            raise PictureFailed("the job's time-out came first") from None
        finally:
            stop(child)
        if self.stopped or child.returncode < 0:
            raise PictureFailed("the job ended first")
        if child.returncode != 0 and not out:  # what did decode before an error is kept
            raise PictureFailed(first_words(err))
        return out

    def stop(self) -> None:
        with self.lock:
            self.stopped = True
            if self.current is not None:
                stop(self.current)
