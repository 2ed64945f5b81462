"""Whether a process of this machine still runs, for a lock or a claim whose holder named
itself by host and pid."""

import os
import socket


def gone_from_here(host: str, pid: int) -> bool:
    """True only when `host` is this machine and no process `pid` runs on it; a holder on
    another machine, or one this user may not signal, is not known to be gone."""
    if host != socket.gethostname() or pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        pass
    return False
