"""``python -m quelmar``: the same as the ``quelmar`` command."""

import sys

from .cli import main

sys.exit(main())
