"""`python -m context_compress_cli` runs the `context-compress` command."""

from .cli import main

raise SystemExit(main())
