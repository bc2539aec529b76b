"""A one-line progress bar on standard error, for the command line."""

from __future__ import annotations

import shutil
import sys
import time
from typing import TextIO

# Redraw at most this often (seconds): drawing is cheap, but not free.
_REDRAW = 0.1


def _scaled(value: float) -> str:
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= factor:
            return f"{value / factor:.1f} {prefix}"
    return f"{value:.0f} "


class ProgressBar:
    """`counting [#####-----]  52%  1.1 GB/2.1 GB  245.0 MB/s`, redrawn in place.

    `unit` names what `total` and `update` count ("B" for bytes of input, "rows").
    """

    def __init__(self, total: int, desc: str, unit: str, stream: TextIO) -> None:
        self.total, self.desc, self.unit, self.stream = max(total, 1), desc, unit, stream
        self.done = 0
        self._start = self._drawn = time.monotonic()
        self._width = 0

    def update(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if now - self._drawn >= _REDRAW or self.done >= self.total:
            self._drawn = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        share = min(self.done / self.total, 1.0)
        rate = self.done / max(now - self._start, 1e-9)
        u = self.unit
        tail = f" {share:4.0%}  {_scaled(self.done)}{u}/{_scaled(self.total)}{u}  {_scaled(rate)}{u}/s"
        room = shutil.get_terminal_size((80, 24)).columns - len(self.desc) - len(tail) - 4
        bar = ""
        if room >= 10:
            cells = min(room, 30)
            filled = int(share * cells)
            bar = f" [{'#' * filled}{'-' * (cells - filled)}]"
        line = f"{self.desc}{bar}{tail}"
        self._width = max(self._width, len(line))
        self.stream.write("\r" + line.ljust(self._width))
        self.stream.flush()

    def close(self) -> None:
        """Wipes the bar, leaving the line as it was."""
        if self._width:
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()


def progress_bar(total: int, desc: str, unit: str, worth_it: bool) -> ProgressBar | None:
    """A bar when it is worth it and standard error is a terminal, else None."""
    stream = sys.stderr
    if not worth_it or stream is None or not stream.isatty():
        return None
    return ProgressBar(total, desc, unit, stream)
