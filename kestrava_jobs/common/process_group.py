"""Children that run in a process group (and session) of their own: lowering the whole
session's priority, and stopping it with all it started."""

import os
import pathlib
import signal
import subprocess


def lower_session(pid: int, nice: int) -> None:
    """The session that `pid` leads at this nice value too. Where the kernel groups each
    session (autogroup), a process's nice value counts only within its group, and groups
    share the CPU evenly: a session of its own at nice 0 takes as much as any other."""
    try:
        pathlib.Path(f"/proc/{pid}/autogroup").write_text(str(nice))
    except OSError:  # no autogroup here: the nice value alone does it
        pass


def stop(child: subprocess.Popen) -> None:
    """Kills the child's whole process group, if it still runs, and reaps it."""
    if child.poll() is None:
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        child.wait()
