"""kestrava_jobs.package_spread: one job's renditions spread over every worker that
serves the queue, with Celery's own canvas. The submitted task claims the folder, makes
the key and replaces itself by a chord: a task per rendition, then the final step, which
inherits the submitted task's id and so carries the job's result."""

import subprocess

from celery import Celery, Signature, Task, chord, shared_task
from celery.exceptions import Ignore
from celery.states import READY_STATES
from celery.utils.log import get_task_logger

from ..common.result import PackageError, PackageResult
from ..hls.check import RenditionIncomplete
from ..job.lifecycle import local_source
from ..job.progress import progress_record
from ..job.request import JobOptions, check_request, plan_job
from ..pictures.make import side_files
from ..storage.names import END_STEP, PICTURES_STEP
from . import spread, spread_pictures
from .confine import confine
from .reports import progress_backend
from .spread_job import SpreadJob, job_from_message
from .tasks import REFUSALS

log = get_task_logger(__name__)
# A rendition that does not come out whole is made again, up to this many attempts in all.
ATTEMPTS = 3
LIVE_STATES = {"PROGRESS", "STARTED", "RETRY"}
RENDITION_TASK, FINISH_TASK = "kestrava_jobs.package_rendition", "kestrava_jobs.finish_spread"
PICTURES_TASK = "kestrava_jobs.package_pictures"


@shared_task(name="kestrava_jobs.package_spread", bind=True, throws=REFUSALS + (PackageError,))
def package_spread_task(self: Task, source: str, out_dir: str, **options) -> dict:
    """package_video's task, its renditions made by tasks of their own on any worker."""
    try:
        started = start_job(self, source, out_dir, options)
    except REFUSALS as refusal:
        log.warning("refused: %s", refusal)
        raise
    if isinstance(started, PackageResult):
        return started.to_dict()
    report(self.app, started)
    message = started.message()
    raise self.replace(chord(queued(self.app, started, message), self.app.tasks[FINISH_TASK].s(message)))


def queued(app: Celery, job: SpreadJob, message: dict) -> list[Signature]:
    """The job's steps in the order they are queued: the renditions, and the pictures'
    step after them, or ahead of them all with early publishing, so that the poster is
    in the package before the first master."""
    renditions = [app.tasks[RENDITION_TASK].s(message, name) for name in spread.queue_order(job)]
    pictures = [app.tasks[PICTURES_TASK].s(message)] if job.poster or job.storyboard else []
    return [*pictures, *renditions] if job.publish_early else [*renditions, *pictures]


def start_job(task: Task, source: str, out_dir: str, options: dict) -> SpreadJob | PackageResult:
    """The message checked as package_video checks its arguments, then the job started."""
    source, out_dir, options = confine(source, out_dir, options)
    request = check_request(source, out_dir, JobOptions(**options), job_id=task.request.id)
    with local_source(request) as local:
        plan = plan_job(local)
        # Live before it claims the package: a second job then sees it at work.
        progress_backend(task.app).store_result(task.request.id, progress_record(0.0, plan.duration, []), "PROGRESS")
        return spread.start(local, plan, lambda job_id: is_live(task.app, job_id), source_name=request.source)


@shared_task(name=RENDITION_TASK, bind=True, throws=REFUSALS, max_retries=ATTEMPTS - 1)
def package_rendition_task(self: Task, message: dict, name: str) -> dict:
    """One rendition of a spread job. A copy of this task that finds another copy at
    work, or its own result stored, ends at once without encoding."""
    job = job_from_message(message, confine)
    if name not in job.names:
        raise ValueError(f"{name} is not a rendition of job {job.job_id}")
    with job.staging.holding(name) as held:
        if not held:
            raise Ignore()  # the first copy is still at work, and will count for the job
        return one_rendition(self, job, name)


def one_rendition(task: Task, job: SpreadJob, name: str) -> dict:
    if spread.finished_rendition(job, name) is not None:
        if task.AsyncResult(task.request.id).state == "SUCCESS":
            raise Ignore()  # counted for the job already
        return {"name": name}
    if job.deadline().passed():
        spread.record_failure(job, name, "the job ran past its time-out before this rendition was made")
        return {"name": name, "failed": "time-out"}
    try:
        made = spread.make_rendition(job, name, task.request.hostname, lambda: report(task.app, job))
    except PackageError as error:  # the job's time-out: no attempt is left
        spread.record_failure(job, name, str(error))
        return {"name": name, "failed": str(error)}
    except (RenditionIncomplete, OSError, subprocess.SubprocessError) as failure:
        # A task that raised would fail the whole chord: the job's end must still come.
        if task.request.retries < ATTEMPTS - 1:
            log.warning("%s of job %s: %s; making it again", name, job.job_id, failure)
            raise task.retry(countdown=0) from None
        spread.record_failure(job, name, str(failure))
        return {"name": name, "failed": str(failure)}
    report(task.app, job)
    return {"name": name, "worker": made.worker}


@shared_task(name=PICTURES_TASK, bind=True, throws=REFUSALS)
def package_pictures_task(self: Task, message: dict) -> dict:
    """A spread job's poster and storyboard. Whatever becomes of them, the job goes on:
    this step never fails the chord."""
    job = job_from_message(message, confine)
    with job.staging.holding(PICTURES_STEP) as held:
        if not held:
            raise Ignore()  # a copy of this step is at work
        made = spread.make_job_pictures(job, lambda name: report(self.app, job))
    return {"pictures": side_files(made), "skipped": made.skipped}


@shared_task(name=FINISH_TASK, throws=REFUSALS + (PackageError,))
def finish_spread_task(parts: object, message: dict) -> dict:
    """The end of a spread job. What the rendition tasks say is not trusted: everything
    is read again from storage."""
    earlier = spread.recorded_result(message, confine)
    if earlier is not None:
        return earlier.to_dict()  # this end was delivered again after it finished
    job = job_from_message(message, confine)
    with job.staging.holding(END_STEP) as held:
        if not held:
            raise Ignore()  # a copy of this end is at work
        result = spread.finish(job).to_dict()
    log.info("%s is packaged: %s complete, %s failed", result["out_dir"], result["complete"], result["failed"])
    return result


def is_live(app: Celery, job_id: str) -> bool:
    """Whether the job that claimed a folder still runs: a spread job reports progress
    from its start until its end; a job the result store does not know has ended."""
    return app.AsyncResult(job_id).state in LIVE_STATES


def report(app: Celery, job: SpreadJob) -> None:
    """The job's progress over all its renditions, stored under the submitted task's id:
    one report at a time, only forward, and never over a final state. A report the
    store cannot take is skipped."""
    with spread.reporting(job):
        done, playable = spread.progress(job)
        try:
            store = progress_backend(app)
            current = store.get_task_meta(job.job_id)
            if current["status"] in READY_STATES:
                return
            before = current["result"] if current["status"] == "PROGRESS" and isinstance(current["result"], dict) \
                else {}
            listed = [name for name in job.names if name in playable or name in before.get("playable", [])]
            pictures = list(spread_pictures.pictures_in(job.folder))
            meta = progress_record(max(done, before.get("done", 0.0)), job.total, listed, pictures,
                                   spread.published(job))
            if meta != before:
                store.store_result(job.job_id, meta, "PROGRESS")
        except Exception as error:  # a figure that is not shown must not fail the job
            log.warning("progress of job %s not reported (%s: %s)", job.job_id, type(error).__name__, error)
