"""package_video: one kestrava job in a child process, watched, checked and finished."""

import os
import threading
from collections.abc import Mapping, Sequence

from ..common.result import PackageResult
from ..storage.keys import DEFAULT_KEY_URI
from ..storage.time_bound import within
from .lifecycle import local_source, open_package, undone_on_failure
from .request import (
    JobOptions,
    JobRequest,
    PictureCallback,
    ProgressCallback,
    PublishedCallback,
    RenditionCallback,
    check_request,
    plan_job,
)
from .run import run_job


def package_video(source: str | os.PathLike, out_dir: str | os.PathLike, *,
                  resolution: Sequence[str] | None = None, bitrate: Sequence[int] | None = None,
                  key_info: str | os.PathLike | None = None, key_uri: str = DEFAULT_KEY_URI,
                  key_dir: str | os.PathLike | None = None, timeout: float | None = None,
                  on_progress: ProgressCallback | None = None, job_id: str | None = None,
                  cancel: threading.Event | None = None, publish_early: bool = False, publish: str | None = None,
                  on_rendition: RenditionCallback | None = None,
                  captions: Mapping[str, str | os.PathLike] | None = None, charset: str | None = None,
                  poster: bool = True, storyboard: bool = True,
                  on_picture: PictureCallback | None = None,
                  on_published: PublishedCallback | None = None) -> PackageResult:
    """Packages `source` as encrypted HLS into `out_dir`, which must be new or empty.

    The call runs in a child process, so the caller's threads keep running. Without
    `key_info` a fresh key is made. Keys live in `key_dir` (default: $KESTRAVA_KEY_DIR,
    else ~/.local/state/kestrava/keys), never in or beside the package. FFmpeg's log
    goes to <out_dir>.log. One job at a time holds a folder (<out_dir>.lock).

    Arguments are checked before any file is made (TypeError, ValueError,
    FileNotFoundError; UnreadableSource for a source FFmpeg cannot read or without
    video). Raises PackageBusy when another job holds the folder, PackageTimeout when
    `timeout` seconds pass (probe, encoding and checks together), PackageCancelled when
    `cancel` is set, and PackageError when no rendition comes out complete, naming what
    went wrong with each; in each of these cases the folder is left as it was found.

    `job_id` names the job for task runners: a second delivery of a job whose package is
    already complete returns the recorded result without encoding again.

    `on_rendition(name)` is called as the master starts listing each rendition: at the end,
    or with `publish_early` as soon as each one is finished and checked (the smallest made
    first), the master then replaced whole by a rename each time, listing only complete,
    checked renditions in the order asked for. Serve it with a short cache lifetime then.

    `publish` says when the master lists what: "end" (the default), "renditions" (what
    `publish_early=True` asks for) or "segments": the smallest rendition is then listed
    from its first checked segment on, its media playlist growing as each further segment
    is checked and put in (no EXT-X-ENDLIST until the rendition ends), and each other
    rendition joins once it is checked. Serve the master and that playlist with
    `Cache-Control: no-cache` until the job has ended. `on_rendition` is called as the
    growing rendition becomes playable, and `on_published(name, seconds)` each time more
    of it is in the package.

    Every text subtitle track of the source, and each file of `captions` ({"en": "talk.srt"};
    SubRip, WebVTT or ASS, in UTF-8, UTF-16 or `charset`), becomes a WebVTT rendition cut as
    the video is, listed in every master; `result.captions` says what became of each.

    A poster (poster.jpg) and a scrub-bar storyboard (storyboard_N.jpg sheets of tiles and
    their WebVTT index storyboard.vtt) are made beside the renditions at the lowest
    priority, the poster first; `on_picture(name)` is called as each is in the package
    (with `publish_early`, the poster before the first master). The master names them in
    EXT-X-SESSION-DATA entries; `result.pictures` says what was made, or why not.
    `poster=False` and `storyboard=False` leave them out.
    """
    options = JobOptions(resolution=resolution, bitrate=bitrate, key_info=key_info, key_uri=key_uri, key_dir=key_dir,
                         timeout=timeout, publish_early=publish_early, publish=publish, captions=captions,
                         charset=charset, poster=poster, storyboard=storyboard)
    return package(check_request(source, out_dir, options, job_id=job_id, on_progress=on_progress, cancel=cancel,
                                 on_rendition=on_rendition, on_picture=on_picture, on_published=on_published))


def package(request: JobRequest) -> PackageResult:
    """The job of a checked request, from its claim to its record, its source read from
    one local copy; the result names the source as the caller did."""
    with local_source(request) as local:
        return claimed(local, request.source)


def claimed(request: JobRequest, source_name: str) -> PackageResult:
    # A folder nobody has claimed is refused before any work when it is not empty; one a
    # job names as its own is left to the claim, which says when that job is still at work
    # (its poster may be in the folder already).
    if request.job_id is None and not request.state.holder():
        request.package.refuse_unless_empty()
    plan = plan_job(request)
    with request.state.holding(request.job_id) as previous_holder:
        opened = open_package(request.package, request.state, request.job_id, request.key_dir,
                              taking_over=bool(request.job_id) and previous_holder == request.job_id)
        if isinstance(opened, PackageResult):
            return opened
        with request.state.writing_log() as log_fd, undone_on_failure(request.package, request.key_dir, opened), \
                within(request.deadline):
            result = run_job(request, plan, log_fd)
            result.source = source_name
            request.state.write_record(request.job_id, result)
            return result
