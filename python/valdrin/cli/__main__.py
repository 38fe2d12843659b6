"""``python -m valdrin.cli``: the same as the ``valdrin`` command."""

import sys

from . import main

sys.exit(main())
