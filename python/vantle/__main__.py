"""``python -m vantle``: the vantle command line (see vantle.cli)."""

import sys

from vantle.cli import main

sys.exit(main())
