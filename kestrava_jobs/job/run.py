"""One job's work in its prepared package: the key, the module in child processes that
are watched, then the check of every rendition and the measured master playlist."""

import logging

from .. import ladder
from ..captions.job_captions import JobCaptions
from ..common.ffmpeg_words import cause
from ..common.result import PackageError, PackageResult
from ..hls.check import check_all
from ..pictures.job_pictures import JobPictures
from ..storage import keys
from ..storage import names as file_names
from ..storage.folder import LocalFiles
from ..storage.keys import KeyInfo
from .children import ModuleRun, run_module
from .growing import UNFINISHED, Growing, target_duration
from .outcome import Made, log_tail, master_unwritten, none_complete, package_result
from .playable import Playable
from .progress import PlaylistProgress
from .request import JobPlan, JobRequest

log = logging.getLogger(__name__)


def run_job(request: JobRequest, plan: JobPlan, log_fd: int) -> PackageResult:
    """The checked result; PackageError (its result saying what is known) when no
    rendition came out complete."""
    key = keys.job_key(request.key_dir, request.package.location, request.key_info, request.key_uri)
    # Started first, so that the poster's child is at work before the module's children.
    pictures = JobPictures(plan.pictures, request.package, request.deadline, request.on_picture)
    captions = JobCaptions(request.source, plan.captions, key, request.deadline, plan.duration)
    playable = Playable(request, plan.names, key, captions, pictures)
    if request.publish == "segments":
        playable.growing = Growing(request.package, min(plan.names, key=ladder.size),
                                   request.package.growing_folder(), key, request.deadline,
                                   target_duration(plan.frame_rate))
    try:
        return made_and_checked(request, plan, key, log_fd, playable)
    finally:
        captions.close()
        pictures.close()


def made_and_checked(request: JobRequest, plan: JobPlan, key: KeyInfo, log_fd: int,
                     playable: Playable) -> PackageResult:
    progress = PlaylistProgress([playable.made_in(name) / file_names.playlist(name) for name in plan.names],
                                plan.duration, request.on_progress)
    try:
        run_module(module_run(request, plan, key, log_fd, playable),
                   poll=lambda: (progress.poll(), playable.pictures.poll(), playable.poll()))
        grown = growing_end(request, playable)
        left = [name for name in plan.names if name not in playable.checked and name not in grown]
        checked, reasons = check_all(LocalFiles(playable.work), left, key, request.deadline, request.source,
                                     lambda: log_tail(request.state, 0))
        reasons.update(grown)
    except PackageError as error:
        raise type(error)(str(error), result_of(request, key, Made(plan.names, {}, {}))) from None
    renditions = playable.finish(checked)
    result = result_of(request, key, Made(plan.names, {rendition.name: rendition for rendition in renditions},
                                          reasons))
    progress.report_final([rendition.duration for rendition in renditions])
    if not renditions:
        raise none_complete(request.source, result)
    result.pictures = playable.pictures.finish()
    write_measured_master(playable, result)
    result.captions = playable.captions.results or []  # made with the first master
    result.audio_left_out = list(plan.audio_left_out)
    return result


def growing_end(request: JobRequest, playable: Playable) -> dict[str, str]:
    """The growing rendition's last segments in; why it stopped short, when it did."""
    if playable.growing is None:
        return {}
    playable.poll_growing(last=True)
    failure = playable.growing.failure
    if failure is None:
        return {}
    said = cause(log_tail(request.state, 0)) if failure == UNFINISHED else None
    return {playable.growing.name: f"{failure} (FFmpeg: {said})" if said else failure}


def module_run(request: JobRequest, plan: JobPlan, key: KeyInfo, log_fd: int, playable: Playable) -> ModuleRun:
    return ModuleRun(source=request.source, work=request.package.work_folder(), names=plan.names, rates=plan.rates,
                     key_info=key.path, log_fd=log_fd, deadline=request.deadline, cancel=request.cancel,
                     early=request.publish_early, behind_nice=request.behind_nice,
                     growing=playable.growing.work if playable.growing is not None else None)


def result_of(request: JobRequest, key: KeyInfo, made: Made) -> PackageResult:
    return package_result(request.source, request.package, request.state, key, request.deadline, made,
                          caller_key=request.key_info is not None)


def write_measured_master(playable: Playable, result: PackageResult) -> None:
    try:
        playable.publish()
    except OSError as error:
        raise master_unwritten(playable.request.package, error, result) from None
