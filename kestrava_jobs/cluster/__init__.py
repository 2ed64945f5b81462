"""Packaging on many machines with Celery: the app, the tasks, one job spread over the
workers, progress in the result store, and what a message may ask."""
