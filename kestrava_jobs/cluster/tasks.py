"""kestrava_jobs.package_video: one job a task, run by package_video on the worker that
takes it, confined to the deployment's folders."""

from celery import Task, shared_task
from celery.exceptions import Ignore
from celery.utils.log import get_task_logger

from ..common.result import PackageBusy
from ..job.package import package_video
from .confine import confine
from .reports import ProgressReports

log = get_task_logger(__name__)
# What a job refuses to do (a path outside the folders, a bad argument, a folder in use):
# the sender's doing, not a fault of the worker.
REFUSALS = (ValueError, TypeError, FileExistsError)


@shared_task(name="kestrava_jobs.package_video", bind=True, throws=REFUSALS)
def package_video_task(self: Task, source: str, out_dir: str, **options) -> dict:
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
                             on_rendition=reports.rendition, on_picture=reports.picture,
                             on_published=reports.published, **options).to_dict()
    except PackageBusy as busy:
        if busy.job_id == task.request.id:
            # This very job is still running on the first delivery, which will store its result.
            raise Ignore() from None
        raise
