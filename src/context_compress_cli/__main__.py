"""`python -m context_compress_cli`, the deprecated spelling of `python -m context_compress`."""

from context_compress.cli import main

raise SystemExit(main())
