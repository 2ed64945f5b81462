"""The Celery app for packaging on many machines.

Worker:  KESTRAVA_BROKER_URL=rediss://:password@host:6380/0 KESTRAVA_SOURCE_ROOTS=/srv/uploads \\
         KESTRAVA_OUTPUT_ROOT=/srv/packages KESTRAVA_KEY_DIR=/srv/keys \\
         celery -A kestrava_jobs.celery_app:app worker --pool prefork --concurrency 2
"""

import logging

from celery import Celery
from celery.app.trace import LOG_SUCCESS, log_policy_expected

from ..settings import settings

# The tasks are shared: every app made here has them.
from . import spread_tasks, tasks  # noqa: F401


def make_app(broker_url: str | None = None) -> Celery:
    """An app on the deployment's broker (or `broker_url`), which is also its result store."""
    url = broker_url or settings.broker_url
    app = Celery("kestrava_jobs", broker=url, backend=url)
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
        broker_transport_options={"visibility_timeout": settings.visibility_timeout},
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
    logging.getLogger("celery.app.trace").addFilter(TASK_LINES)
    return app


class TaskLines(logging.Filter):
    """Celery's own lines about this package's tasks, shortened: a success without the
    result (the task has logged a summary; the result holds x264's statistics), and
    nothing more for a refusal, which the task has logged as one warning line."""

    def filter(self, record: logging.LogRecord) -> bool:
        data = getattr(record, "data", None)
        if not isinstance(data, dict) or not str(data.get("name", "")).startswith("kestrava_jobs."):
            return True
        if record.msg == LOG_SUCCESS:
            record.msg = "Task %(name)s[%(id)s] succeeded in %(runtime).1fs"
        return data.get("description") != log_policy_expected.description


# One filter however many apps are made: adding it again changes nothing.
TASK_LINES = TaskLines()
# The app `celery -A kestrava_jobs.celery_app:app` names, on the deployment's broker.
app = make_app()
