"""The progress bar of a run over several files."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from typing import Any, TextIO


def is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError):
        return False


def wanted(several: bool, disabled: bool) -> bool:
    """A bar only for several files, on a terminal for both output streams."""
    return (several and not disabled and is_terminal(sys.stderr) and is_terminal(sys.stdout)
            and os.environ.get("TERM") != "dumb")


class Progress:
    """A one-line progress bar on standard error, drawn by tqdm, which keeps
    it within the terminal's width as that changes and erases it cleanly;
    nothing at all when disabled."""

    def __init__(self, total: int, enabled: bool, shown: Callable[[str], str] = str) -> None:
        self.bar: Any = None
        # Labels are file names: they reach the terminal as every line does.
        self.shown = shown
        if enabled:
            from tqdm import tqdm  # type: ignore[import-untyped]

            self.bar = tqdm(total=total, file=sys.stderr, leave=False, dynamic_ncols=True,
                            mininterval=0, bar_format="{n_fmt}/{total_fmt} |{bar}| {desc}")

    def show(self, done: int, label: str) -> None:
        if self.bar is None:
            return
        # tqdm cuts a line that is too long at its end; a path is cut at its
        # start instead, so that its file name stays in view.
        room = max(self.bar.ncols // 3, 8) if self.bar.ncols else 40
        label = self.shown(label)
        name = label if len(label) <= room else "…" + label[-(room - 1):]
        self.bar.n = done
        self.bar.set_description_str(name, refresh=False)
        self.bar.refresh()

    def clear(self) -> None:
        if self.bar is not None:
            self.bar.clear()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None
