"""The modes of the `context-compress` command, one module each: compress
(the default), --check and --calibrate."""
