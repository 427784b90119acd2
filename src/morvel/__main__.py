"""`python -m morvel`: the command line (see morvel.cli)."""

import sys

try:
    from morvel.cli import main
except KeyboardInterrupt:  # Ctrl-C while it starts: the same one line as later on
    print("morvel: interrupted", file=sys.stderr)
    raise SystemExit(130) from None

raise SystemExit(main())
