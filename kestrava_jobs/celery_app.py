"""The Celery app a worker is started with: celery -A kestrava_jobs.celery_app:app worker.
It is built by cluster.app.make_app, with every kestrava task."""

from .cluster.app import app, make_app

__all__ = ["app", "make_app"]
