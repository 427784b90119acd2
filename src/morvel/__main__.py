"""`python -m morvel`: the command line (see morvel.cli)."""

from morvel.cli import main

raise SystemExit(main())
