"""`python -m kestrune_find`: the `kestrune` command."""
import sys

from .cli import main

sys.exit(main())
