"""python -m kestrava_jobs: the kestrava-package command."""

import sys

from .command.cli import main

sys.exit(main())
