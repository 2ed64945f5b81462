"""The Celery app for packaging on many machines.

Worker:  KESTRAVA_BROKER_URL=redis://host:6379/0 \\
         celery -A kestrava_jobs.celery_app:app worker --pool prefork --concurrency 2
"""

import os
import pathlib
import shutil

from celery import Celery

from .keys import beside
from .package import package_video

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
    broker_transport_options={"visibility_timeout": 12 * 3600},
    result_expires=7 * 24 * 3600,
)


@app.task(name="kestrava_jobs.package_video", bind=True)
def package_video_task(self, source: str, out_dir: str, **options) -> dict:
    """package_video on a worker; returns the result as JSON-able data."""
    out = pathlib.Path(out_dir).expanduser().resolve()
    claim = beside(out, ".task")
    # An earlier attempt of this very job died mid-way: what it left is half-written.
    if claim.exists() and claim.read_text() == self.request.id and out.exists():
        shutil.rmtree(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    claim.write_text(self.request.id)
    try:
        return package_video(source, out, **options).to_dict()
    finally:
        claim.unlink(missing_ok=True)
