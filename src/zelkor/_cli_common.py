"""What the subcommands of the command line share: errors, options, arguments."""

from __future__ import annotations

import argparse
import os
import sys

from ._zelkor import BUILTIN_ENCODINGS, Tokenizer

DEFAULT_ENCODING = "o200k_base"
# More threads than this is a typing mistake, not a machine.
MAX_THREADS = 4096


class CliError(Exception):
    """A failure reported to the user as one line."""


def tokenizer(name: str) -> Tokenizer:
    try:
        return Tokenizer(utf8_argument(name, "--encoding"))
    except RuntimeError as e:
        raise CliError(str(e).removeprefix("zelkor: ")) from None


def utf8_argument(value: str, what: str) -> str:
    """`value` itself; an argument that is not UTF-8 (undecodable bytes in the
    command line) is refused, naming the argument."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as e:
        raise CliError(
            f"{what} is not valid UTF-8 (character {e.start}); "
            "the command line must be UTF-8: check the terminal's or the script's encoding"
        ) from None
    return value


def shown(path: str) -> str:
    """A path as printed: bytes that are not UTF-8 as backslash escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def add_encoding_option(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "-e",
        "--encoding",
        default=DEFAULT_ENCODING,
        help=f"one of {', '.join(BUILTIN_ENCODINGS)} (default: {DEFAULT_ENCODING})",
    )


def add_threads_option(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--threads", type=_thread_count, default=0, help="worker threads (default: 0, one per CPU)"
    )


def _thread_count(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {value!r}") from None
    if not 0 <= n <= MAX_THREADS:
        raise argparse.ArgumentTypeError(f"must lie between 0 and {MAX_THREADS}, not {value}")
    return n


def read_text(path: str) -> str:
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as e:
        raise CliError(f"cannot read {shown(path)}: {e.strerror or e}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise CliError(f"{input_name(path)} is not valid UTF-8 (byte {e.start})") from None


def input_name(path: str) -> str:
    return "standard input" if path == "-" else shown(path)


def argument_or_file(value: str | None, path: str | None, name: str) -> str:
    """The positional argument, else the --file, else standard input."""
    if path is not None:
        if value is not None:
            raise CliError(f"give either {name} or --file, not both")
        return read_text(path)
    return utf8_argument(value, name) if value is not None else read_text("-")
