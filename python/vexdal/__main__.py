"""`python -m vexdal`, the same as the `vexdal` command."""

import sys

from vexdal.cli.command import main

sys.exit(main())
