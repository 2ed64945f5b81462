"""One packaging job: its checked request, its plan, the module in watched children, the
checks, the master playlist and the result."""
