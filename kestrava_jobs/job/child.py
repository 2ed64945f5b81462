"""The process that runs one kestrava.hls_encoder call, in the package folder.

It dies with the process that started it: a worker killed mid-job must not leave
an orphan writing into a folder that a retry is about to use."""

import ctypes
import json
import os
import signal
import sys

from ..common.process_group import lower_session

PR_SET_PDEATHSIG = 1


def die_with_parent(parent: int) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG)")
    # The parent may have died before the signal was armed.
    if os.getppid() != parent:
        os._exit(1)


def main() -> None:
    call = json.loads(sys.argv[1])
    die_with_parent(int(sys.argv[2]))
    # A lower priority for the threads the module starts: renditions that may wait while
    # another child makes the first one ready. This child leads a session of its own, which
    # is lowered too, or it would share the CPU evenly with that child all the same.
    os.nice(call["nice"])
    if call["nice"] > 0:
        lower_session(os.getpid(), call["nice"])
    import kestrava

    kestrava.hls_encoder(call["source"], call["master"], call["resolution"], call["bitrate"], call["key_info"])


if __name__ == "__main__":
    main()
