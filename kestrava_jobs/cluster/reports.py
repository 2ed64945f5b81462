"""Progress stored in the result store while a job runs, as PROGRESS states. A report
that cannot be stored never fails the job: figures that are not shown are skipped."""

import functools

from celery import Celery, Task
from celery.backends.base import Backend
from celery.utils.log import get_task_logger

from ..job.progress import progress_record

log = get_task_logger(__name__)


@functools.cache
def progress_backend(app: Celery) -> Backend:
    """This process's own connection to the app's result store for progress reports: it
    tries once, as a report that waited for the store would hold up the job."""
    backend = type(app.backend)(app=app, url=app.conf.result_backend)
    backend.always_retry = False
    return backend


class ProgressReports:
    """The PROGRESS states of one job, the last naming the renditions the master lists so
    far and the pictures in the package. A report that cannot be stored is skipped, with one warning line an outage, and
    the next one carries the figures forward."""

    def __init__(self, task: Task) -> None:
        self.task = task
        self.stored = True
        self.meta: dict = progress_record(0.0, None, [])

    def __call__(self, done: float, total: float | None) -> None:
        self.meta = {**self.meta, "done": done, "total": total}
        self.store()

    def rendition(self, name: str) -> None:
        self.meta = {**self.meta, "playable": [*self.meta["playable"], name]}
        self.store()

    def picture(self, name: str) -> None:
        self.meta = {**self.meta, "pictures": [*self.meta["pictures"], name]}
        self.store()

    def published(self, name: str, seconds: float) -> None:
        self.meta = {**self.meta, "published": {**self.meta["published"], name: seconds}}
        self.store()

    def store(self) -> None:
        try:
            progress_backend(self.task.app).store_result(self.task.request.id, self.meta, "PROGRESS",
                                                         request=self.task.request)
        except Exception as error:  # a figure that is not shown must not fail the job
            if self.stored:
                log.warning("progress not reported (%s: %s); the job goes on", type(error).__name__, error)
            self.stored = False
        else:
            self.stored = True
