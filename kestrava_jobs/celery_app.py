"""The Celery app for packaging on many machines.

Worker:  KESTRAVA_BROKER_URL=rediss://:password@host:6380/0 KESTRAVA_SOURCE_ROOTS=/srv/uploads \\
         KESTRAVA_OUTPUT_ROOT=/srv/packages KESTRAVA_KEY_DIR=/srv/keys \\
         celery -A kestrava_jobs.celery_app:app worker --pool prefork --concurrency 2
"""

import functools
import logging
import os

from celery import Celery, Task
from celery.app.trace import LOG_SUCCESS, log_policy_expected
from celery.backends.base import Backend
from celery.exceptions import Ignore
from celery.utils.log import get_task_logger

from .confine import confine
from .package import package_video
from .result import PackageBusy

BROKER_URL = os.environ.get("KESTRAVA_BROKER_URL", "redis://127.0.0.1:6379/0")
# What a job refuses to do (a path outside the folders, a bad argument, a folder in use):
# the sender's doing, not a fault of the worker.
REFUSALS = (ValueError, TypeError, FileExistsError)

log = get_task_logger(__name__)

app = Celery("kestrava_jobs", broker=BROKER_URL, backend=BROKER_URL)
app.conf.update(
    task_serializer="json",
    result_serializer="json",
    accept_content=["json"],
    # A job is acknowledged only once it is done; if the process running it
    # dies, the job goes back to the queue for another one.
    task_acks_late=True,
    task_reject_on_worker_lost=True,
    # The call holds the GIL for minutes: one job per pool process, none
    # reserved ahead of it.
    worker_pool="prefork",
    worker_prefetch_multiplier=1,
    # Redis hands an unacknowledged job to another worker after this long, so
    # it must outlast the longest job.
    broker_transport_options={"visibility_timeout": int(os.environ.get("KESTRAVA_VISIBILITY_TIMEOUT", 12 * 3600))},
    result_expires=7 * 24 * 3600,
    # A broker that restarts mid-job is waited for, however long, rather than
    # ending the worker: its jobs finish and are acknowledged once it is back.
    broker_connection_retry=True,
    broker_connection_retry_on_startup=True,
    broker_connection_max_retries=None,
    # A job whose broker connection drops keeps running (Celery 6 would cancel it by
    # default); it is acknowledged once the broker is back.
    worker_cancel_long_running_tasks_on_connection_loss=False,
    # A job's result waits for a result store that is away (a restart, a fail-over)
    # rather than being lost: sleeps from 0.2 s doubling up to 5 s, each cut at random
    # (full jitter), 40 of them: about a minute and a half, three minutes at most.
    result_backend_always_retry=True,
    result_backend_max_retries=40,
    result_backend_base_sleep_between_retries_ms=100,
    result_backend_max_sleep_between_retries_ms=5000,
)


@functools.cache
def progress_backend() -> Backend:
    """This process's own connection to the result store for progress reports: it tries
    once, as a report that waited for the store would hold up the job."""
    backend = type(app.backend)(app=app, url=app.conf.result_backend)
    backend.always_retry = False
    return backend


class ProgressReports:
    """The PROGRESS states of one job: {"done", "total", "playable"}, the last naming the
    renditions the master lists so far. A report that cannot be stored is skipped, with
    one warning line an outage, and the next one carries the figures forward."""

    def __init__(self, task: Task) -> None:
        self.task = task
        self.stored = True
        self.meta: dict = {"done": 0.0, "total": None, "playable": []}

    def __call__(self, done: float, total: float | None) -> None:
        self.meta = {**self.meta, "done": done, "total": total}
        self.store()

    def rendition(self, name: str) -> None:
        self.meta = {**self.meta, "playable": [*self.meta["playable"], name]}
        self.store()

    def store(self) -> None:
        try:
            progress_backend().store_result(self.task.request.id, self.meta, "PROGRESS", request=self.task.request)
        except Exception as error:  # a figure that is not shown must not fail the job
            if self.stored:
                log.warning("progress not reported (%s: %s); the job goes on", type(error).__name__, error)
            self.stored = False
        else:
            self.stored = True


@app.task(name="kestrava_jobs.package_video", bind=True, throws=REFUSALS)
def package_video_task(self, source: str, out_dir: str, **options) -> dict:
    """package_video on a worker, confined to the deployment's folders; returns the
    result as JSON-able data."""
    try:
        result = package_confined(self, source, out_dir, options)
    except REFUSALS as refusal:
        log.warning("refused: %s", refusal)
        raise
    log.info("%s is packaged: %s complete, %s failed", result["out_dir"], result["complete"], result["failed"])
    return result


def package_confined(task: Task, source: str, out_dir: str, options: dict) -> dict:
    source, out_dir, options = confine(source, out_dir, options)
    reports = ProgressReports(task)
    try:
        return package_video(source, out_dir, job_id=task.request.id, on_progress=reports,
                             on_rendition=reports.rendition, **options).to_dict()
    except PackageBusy as busy:
        if busy.job_id == task.request.id:
            # This very job is still running on the first delivery, which will store its result.
            raise Ignore() from None
        raise


class TaskLines(logging.Filter):
    """Celery's own lines about this task, shortened: a success without the result (the
    task has logged a summary; the result holds x264's statistics), and nothing more for
    a refusal, which the task has logged as one warning line."""

    def filter(self, record: logging.LogRecord) -> bool:
        data = getattr(record, "data", None)
        if not isinstance(data, dict) or not str(data.get("name", "")).startswith("kestrava_jobs."):
            return True
        if record.msg == LOG_SUCCESS:
            record.msg = "Task %(name)s[%(id)s] succeeded in %(runtime).1fs"
        return data.get("description") != log_policy_expected.description


logging.getLogger("celery.app.trace").addFilter(TaskLines())

# The tasks of a job spread over the workers, registered with this app.
from . import spread_tasks  # noqa: E402,F401  (they need the app above)
