"""The Celery app for packaging on many machines.

Worker:  KESTRAVA_BROKER_URL=rediss://:password@host:6380/0 KESTRAVA_SOURCE_ROOTS=/srv/uploads \\
         KESTRAVA_OUTPUT_ROOT=/srv/packages KESTRAVA_KEY_DIR=/srv/keys \\
         celery -A kestrava_jobs.celery_app:app worker --pool prefork --concurrency 2
"""

import os

from celery import Celery
from celery.exceptions import Ignore

from .confine import confine
from .package import package_video
from .result import PackageBusy

BROKER_URL = os.environ.get("KESTRAVA_BROKER_URL", "redis://127.0.0.1:6379/0")

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
)


@app.task(name="kestrava_jobs.package_video", bind=True)
def package_video_task(self, source: str, out_dir: str, **options) -> dict:
    """package_video on a worker, confined to the deployment's folders; returns the
    result as JSON-able data."""
    source, out_dir, options = confine(source, out_dir, options)

    def report(done: float, total: float | None) -> None:
        self.update_state(state="PROGRESS", meta={"done": done, "total": total})

    try:
        return package_video(source, out_dir, job_id=self.request.id, on_progress=report, **options).to_dict()
    except PackageBusy as busy:
        if busy.job_id == self.request.id:
            # This very job is still running on the first delivery, which will store its result.
            raise Ignore() from None
        raise
