"""`python -m vexdal_cli`, the same as the `vexdal` command."""

import sys

from vexdal_cli.cli import main

sys.exit(main())
