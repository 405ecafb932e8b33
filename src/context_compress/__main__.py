"""`python -m context_compress` runs the `context-compress` command."""

from .cli import main

raise SystemExit(main())
