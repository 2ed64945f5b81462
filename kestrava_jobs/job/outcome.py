"""What a job's end makes of its renditions: the result it returns, and the one error it
raises when none came out complete. Whether the job ran on one machine or was spread."""

from dataclasses import dataclass, field

from ..common.deadline import Deadline
from ..common.result import CaptionResult, PackageError, PackageResult, RenditionResult
from ..storage.keys import KeyInfo
from ..storage.names import MASTER
from ..storage.seam import JobState, Package

LOG_TAIL_LINES = 20


@dataclass(frozen=True)
class Made:
    """A job's renditions as its end found them."""
    names: list[str]  # every rendition asked for, in order
    checked: dict[str, RenditionResult]  # the complete ones
    reasons: dict[str, str]  # why each other one failed
    captions: list[CaptionResult] = field(default_factory=list)


def package_result(source: str, package: Package, state: JobState, key: KeyInfo, deadline: Deadline, made: Made,
                   caller_key: bool) -> PackageResult:
    """The job's result. A fresh key is named only when a package keeps it: a failed job's
    is removed; the caller's own stays theirs."""
    key_kept = bool(made.checked) or caller_key
    return PackageResult(source=source, out_dir=package.location, master=package.location_of(MASTER),
                         log=state.log_location, seconds=deadline.elapsed(),
                         key_file=str(key.key_file) if key_kept else "", key_uri=key.uri, complete=list(made.checked),
                         failed=[name for name in made.names if name not in made.checked], reasons=made.reasons,
                         renditions=made.checked, log_tail=log_tail(state, LOG_TAIL_LINES), captions=made.captions)


def none_complete(source: str, result: PackageResult) -> PackageError:
    """The error of a job that made nothing playable, naming what went wrong with each rendition."""
    why = "; ".join(f"{name}: {reason}" for name, reason in result.reasons.items())
    return PackageError(f"no rendition of {source} came out complete: {why}", result)


def master_unwritten(package: Package, error: OSError, result: PackageResult) -> PackageError:
    """The error of a job whose renditions are complete but whose master could not be put."""
    reason = error.strerror or error
    return PackageError(f"{package.location_of(MASTER)}: the master playlist could not be written: {reason}", result)


def log_tail(state: JobState, lines: int) -> str:
    """The log's last lines (all of them for 0)."""
    try:
        return "\n".join(state.read_log().splitlines()[-lines:])
    except OSError:
        return ""
