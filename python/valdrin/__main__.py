"""``python -m valdrin``: the same as the ``valdrin`` command."""

import sys

from .cli import main

sys.exit(main())
