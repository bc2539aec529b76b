"""`zelkor chunk`: files cut into chunks of at most N tokens, written as JSON Lines.

    zelkor chunk --max-tokens N [--overlap K] [--boundary KIND] [FILE ...]

One line per chunk, as soon as its file is done:
{"file": ..., "index": ..., "start": ..., "end": ..., "tokens": ..., "text": ...},
where start and end are character offsets into the file's text and tokens is
the chunk's count encoded alone.
"""

from __future__ import annotations

import argparse
import json
import os
import sys

from typing import Any

from ._cli_common import CliError, add_encoding_option, add_threads_option, read_text, shown, tokenizer
from ._progress import progress_bar
from .chunking import BOUNDARIES, _options, _spans

# Files chunked per call, so that several small files share the threads.
FILES_PER_CALL = 64
# ... and at most about this many bytes of them.
BYTES_PER_CALL = 64 << 20
# Inputs from this many bytes on get a progress bar (when standard error is a terminal).
PROGRESS_THRESHOLD = 8 << 20


def add_chunk(sub: Any) -> None:
    p = sub.add_parser("chunk", help="cut files into chunks of at most N tokens (JSON Lines)")
    add_encoding_option(p)
    add_threads_option(p)
    p.add_argument("--max-tokens", type=_whole_number, required=True, metavar="N",
                   help="most tokens in a chunk")
    p.add_argument("--overlap", type=_whole_number, default=0, metavar="K",
                   help="tokens a chunk may repeat from the end of the one before (default: 0)")
    p.add_argument("--boundary", choices=BOUNDARIES, default="token",
                   help="where a chunk prefers to end (default: token)")
    p.add_argument("files", nargs="*", metavar="FILE", help="files to cut; '-' or none reads standard input")
    p.set_defaults(func=cmd_chunk)


def _whole_number(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {value!r}") from None
    if n < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return n


def _groups(paths: list[str]):
    """Runs of paths to chunk in one call."""
    group: list[str] = []
    size = 0
    for path in paths:
        n = _size(path)
        if group and (len(group) >= FILES_PER_CALL or size + n > BYTES_PER_CALL):
            yield group
            group, size = [], 0
        group.append(path)
        size += n
    if group:
        yield group


def _size(path: str) -> int:
    try:
        return 0 if path == "-" else os.path.getsize(path)
    except OSError:
        return 0  # reported when it is read


def cmd_chunk(args: argparse.Namespace) -> int:
    tok = tokenizer(args.encoding)
    try:
        _options(tok, args.max_tokens, args.overlap, args.boundary)
    except ValueError as e:
        raise CliError(str(e).replace("max_tokens", "--max-tokens").replace("overlap", "--overlap")) from None
    paths = args.files or ["-"]
    total = sum(_size(p) for p in paths)
    bar = progress_bar(total, "chunking", "B", worth_it=total >= PROGRESS_THRESHOLD)
    out = sys.stdout.buffer
    try:
        for group in _groups(paths):
            texts = [read_text(p) for p in group]
            spans = _spans(tok, texts, args.max_tokens, args.overlap, args.boundary, args.threads)
            for path, text, chunks in zip(group, texts, spans):
                lines = [
                    json.dumps({"file": shown(path), "index": i, "start": a, "end": b, "tokens": n,
                                "text": text[a:b]}, ensure_ascii=False)
                    for i, (a, b, n) in enumerate(chunks)
                ]
                if lines:
                    out.write(("\n".join(lines) + "\n").encode("utf-8"))
                out.flush()
                if bar is not None:
                    bar.update(_size(path))
    finally:
        if bar is not None:
            bar.close()
    return 0
