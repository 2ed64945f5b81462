"""python -m kestrava_jobs: the kestrava-package command."""

import sys

from .cli import main

sys.exit(main())
