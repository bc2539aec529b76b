"""The `zelkor` command line: count, encode, decode and chunk.

    zelkor count [--encoding NAME] [--threads N] [--json] [FILE ...]
    zelkor count [--encoding NAME] [--threads N] [--json] --parquet FILE --column NAME
    zelkor encode [--encoding NAME] [--allowed-special SPECIALS] [--disallowed-special SPECIALS]
                  [TEXT | --file FILE]
    zelkor decode [--encoding NAME] [--errors replace|ignore|strict] [JSON | --file FILE]
    zelkor chunk [--encoding NAME] --max-tokens N [--overlap K] [--boundary KIND] [FILE ...]

Bad input ends with one `zelkor: error: ...` line on standard error and a
non-zero exit status. A subcommand is a function that adds its parser to the
subparsers and sets `func`; it goes in COMMANDS. What subcommands share
(errors, options, reading arguments) is in _cli_common.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import stat
import sys
from typing import Any, BinaryIO, Callable, Iterator, NoReturn, Sequence

from ._cli_common import (
    DEFAULT_ENCODING,
    CliError,
    add_encoding_option,
    add_threads_option,
    argument_or_file,
    input_name,
    shown,
    tokenizer,
    utf8_argument,
)
from ._progress import progress_bar
from .cli_chunk import add_chunk
from ._textpieces import NotUtf8, read_pieces
from ._zelkor import Tokenizer, __version__

# Inputs from this many bytes on get a progress bar (when standard error is a terminal).
PROGRESS_THRESHOLD = 8 << 20
# Text pieces counted per call: enough to keep the threads busy, few enough
# that memory stays bounded on any machine.
MAX_PIECES_PER_CALL = 32
# Rows of a Parquet column counted per call: enough texts to keep every thread busy.
PARQUET_BATCH_ROWS = 1 << 16


class _Parser(argparse.ArgumentParser):
    """Usage mistakes end like every other error: one `zelkor: error:` line, status 2."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(2, f"zelkor: error: {message}\n")


# ---- count -------------------------------------------------------------------------


def _add_count(sub: Any) -> None:
    p = sub.add_parser(
        "count",
        help="count the tokens of files or standard input",
        description="Print the token count of each file, and a total line for two files or more.",
    )
    add_encoding_option(p)
    add_threads_option(p)
    p.add_argument("--json", action="store_true", help="print one JSON object: the counts and their total")
    p.add_argument("--parquet", metavar="FILE", help="count the texts of one column of this Parquet file")
    p.add_argument("--column", metavar="NAME", help="the string column to count (with --parquet)")
    p.add_argument("files", nargs="*", metavar="FILE", help="files to count; '-' or none reads standard input")
    p.set_defaults(func=cmd_count)


def cmd_count(args: argparse.Namespace) -> int:
    if args.column is not None and args.parquet is None:
        raise CliError("--column goes with --parquet")
    if args.parquet is not None:
        if args.files:
            raise CliError("give either FILE or --parquet, not both")
        if args.column is None:
            raise CliError("--parquet needs --column NAME")
        tok = tokenizer(args.encoding)
        n = _count_parquet_column(tok, args.parquet, args.column, args.threads)
        rows = [{"file": shown(args.parquet), "column": args.column, "tokens": n}]
    else:
        tok = tokenizer(args.encoding)
        rows = _count_files(tok, args.files or ["-"], args.threads, print_each=not args.json)
    total = sum(r["tokens"] for r in rows)
    if args.json:
        print(json.dumps({"encoding": tok.name, "counts": rows, "total": total}, ensure_ascii=False))
    elif args.parquet is not None:
        print(f"{total}\t{shown(args.parquet)}")
    elif len(rows) > 1:
        print(f"{total}\ttotal")
    return 0


def _count_files(tok: Tokenizer, paths: list[str], threads: int, print_each: bool) -> list[dict[str, Any]]:
    """Token counts of the files in order, each printed as soon as it is known."""
    _hand_back_large_blocks()
    rows = []
    with contextlib.ExitStack() as stack:
        # Every file is opened before any is counted: a wrong name fails at once.
        streams = [stack.enter_context(_open_binary(p)) for p in paths]
        sizes = [_known_size(s) for s in streams]
        known = sum(s for s in sizes if s is not None)
        bar = progress_bar(known, "counting", "B", worth_it=known >= PROGRESS_THRESHOLD)
        if bar is not None:
            stack.callback(bar.close)
        for path, stream in zip(paths, streams):
            try:
                n = _count_stream(tok, stream, threads, bar.update if bar is not None else None)
            except NotUtf8 as e:
                raise CliError(f"{input_name(path)} is not valid UTF-8 (byte {e.offset})") from None
            except OSError as e:
                raise CliError(f"cannot read {input_name(path)}: {e.strerror or e}") from None
            rows.append({"file": "-" if path == "-" else shown(path), "tokens": n})
            if print_each:
                if bar is not None:
                    bar.close()
                print(f"{n}\t{rows[-1]['file']}", flush=True)
    return rows


def _hand_back_large_blocks() -> None:
    """Makes blocks of 256 KiB and more go back to the system when freed.

    Counting a large file allocates and frees pieces of about a megabyte over and
    over. With glibc's default, which raises the size it maps separately to the
    largest block freed so far, they come from the heap instead, and the heap
    keeps growing with the file (a 1 GB file ended at 280 MB, against 80 MB
    with a fixed threshold). This process is the command's own, so it may set it.
    """
    import platform

    if platform.libc_ver()[0] != "glibc":
        return
    import ctypes

    M_MMAP_THRESHOLD = -3
    try:
        ctypes.CDLL(None).mallopt(M_MMAP_THRESHOLD, 256 << 10)
    except (OSError, AttributeError):
        pass


@contextlib.contextmanager
def _open_binary(path: str) -> Iterator[BinaryIO]:
    if path == "-":
        yield sys.stdin.buffer
        return
    try:
        f = open(path, "rb")
    except OSError as e:
        raise CliError(f"cannot read {shown(path)}: {e.strerror or e}") from None
    with f:
        yield f


def _known_size(stream: BinaryIO) -> int | None:
    try:
        st = os.fstat(stream.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def _count_stream(tok: Tokenizer, stream: BinaryIO, threads: int, on_bytes: Callable[[int], None] | None) -> int:
    """The tokens of a UTF-8 stream, read and counted piece by piece."""
    step = min(MAX_PIECES_PER_CALL, max(1, 2 * (threads or os.cpu_count() or 1)))
    total = 0
    batch: list[str] = []
    for piece in read_pieces(stream, on_bytes):
        batch.append(piece)
        if len(batch) == step:
            total += sum(tok.count_batch(batch, threads=threads))
            batch = []
    if batch:
        total += sum(tok.count_batch(batch, threads=threads))
    return total


def _count_parquet_column(tok: Tokenizer, path: str, column: str, threads: int) -> int:
    """The tokens of every non-null text in one string column, read batch by batch."""
    try:
        # pyarrow ships no type information.
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise CliError("--parquet needs pyarrow: pip install 'zelkor-rs[arrow]'") from None
    from . import arrow as zarrow

    name = shown(path)

    def unreadable(e: Exception) -> CliError:
        if isinstance(e, OSError) and e.strerror:
            return CliError(f"cannot read {name}: {e.strerror}")
        detail = (str(e).strip().splitlines() or [type(e).__name__])[0]
        return CliError(f"cannot read {name}: {detail}")

    try:
        pf = pq.ParquetFile(path)
    except (OSError, pa.ArrowException) as e:
        raise unreadable(e) from None
    schema = pf.schema_arrow
    if column not in schema.names:
        raise CliError(f"{name} has no column {column!r}; its columns: {', '.join(schema.names) or '(none)'}")
    if schema.names.count(column) > 1:
        raise CliError(f"{name} has more than one column named {column!r}")
    kind = schema.field(column).type
    coded = pa.types.is_dictionary(kind)  # e.g. written from a pandas categorical
    if not _is_text_type(pa, kind.value_type if coded else kind):
        raise CliError(f"column {column!r} of {name} holds {kind}, not strings")

    rows = pf.metadata.num_rows
    # The file's sizes say little about the text (dictionary pages, compression),
    # so the bar counts rows, for files read in more than one batch.
    bar = progress_bar(rows, "counting", "rows", worth_it=rows > PARQUET_BATCH_ROWS)
    total = 0
    try:
        for batch in pf.iter_batches(batch_size=PARQUET_BATCH_ROWS, columns=[column]):
            texts = batch.column(0)
            counts = zarrow.count(tok, texts.dictionary_decode() if coded else texts, threads=threads)
            total += pc.sum(counts).as_py() or 0
            if bar is not None:
                bar.update(batch.num_rows)
    except (OSError, pa.ArrowException) as e:
        raise unreadable(e) from None
    finally:
        if bar is not None:
            bar.close()
    return total


def _is_text_type(pa: Any, kind: Any) -> bool:
    is_view = getattr(pa.types, "is_string_view", None)  # newer pyarrow only
    return pa.types.is_string(kind) or pa.types.is_large_string(kind) or bool(is_view and is_view(kind))


# ---- encode ------------------------------------------------------------------------


def _add_encode(sub: Any) -> None:
    p = sub.add_parser(
        "encode",
        help="encode text to a JSON list of token ids",
        description="Print the token ids of a text as a JSON list. A special-token string in the text "
        "is an error unless --allowed-special turns it into its id or --disallowed-special none "
        "encodes it as ordinary text.",
    )
    add_encoding_option(p)
    p.add_argument(
        "--allowed-special",
        metavar="SPECIALS",
        help="'all', or a comma-separated list of special tokens to encode as their ids",
    )
    p.add_argument(
        "--disallowed-special",
        metavar="SPECIALS",
        default="all",
        help="special tokens whose strings are an error: 'all' (default), 'none' to encode the "
        "strings of all others as ordinary text, or a comma-separated list",
    )
    p.add_argument("-f", "--file", help="read the text from this file ('-' for standard input)")
    p.add_argument("text", nargs="?", help="the text (default: standard input)")
    p.set_defaults(func=cmd_encode)


def _specials_arg(value: str | None, option: str) -> str | set[str] | None:
    if value is None:
        return None
    value = utf8_argument(value, option)
    if value == "all":
        return "all"
    if value == "none":
        return set()
    return {s for s in value.split(",") if s}


def cmd_encode(args: argparse.Namespace) -> int:
    tok = tokenizer(args.encoding)
    allowed = _specials_arg(args.allowed_special, "--allowed-special")
    disallowed = _specials_arg(args.disallowed_special, "--disallowed-special")
    text = argument_or_file(args.text, args.file, "TEXT")
    try:
        ids = tok.encode(text, allowed_special=allowed, disallowed_special=disallowed)
    except ValueError as e:
        # The disallowed-special message spans lines; its first line says it all.
        raise CliError(
            str(e).splitlines()[0] + " (see --allowed-special and --disallowed-special)"
        ) from None
    print(json.dumps(ids))
    return 0


# ---- decode ------------------------------------------------------------------------


def _add_decode(sub: Any) -> None:
    p = sub.add_parser(
        "decode",
        help="decode a JSON list of token ids to text",
        description="Print the text of a JSON list of token ids.",
        epilog=f"examples (encoding {DEFAULT_ENCODING}):\n"
        "  zelkor decode '[24912, 2375]'                  prints: hello world\n"
        "  echo '[3193, 572, 13153]' | zelkor decode      prints: Grüße\n"
        "  zelkor decode '[3193, 572, 13153, 139786]'     prints: Grüße \N{REPLACEMENT CHARACTER}"
        " (the ids of an emoji cut after its first 3 bytes)\n"
        "  zelkor decode --errors strict '[3193, 572, 13153, 139786]'   fails on the same ids",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_encoding_option(p)
    p.add_argument(
        "--errors",
        default="replace",
        choices=["replace", "ignore", "strict"],
        help="what to do with bytes that are not UTF-8, such as a character cut between tokens: "
        "'replace' with U+FFFD (default), 'ignore' (drop them) or 'strict' (fail)",
    )
    p.add_argument("-f", "--file", help="read the ids from this file ('-' for standard input)")
    p.add_argument(
        "ids", nargs="?", metavar="JSON", help="the ids, e.g. '[24912, 2375]' (default: standard input)"
    )
    p.set_defaults(func=cmd_decode)


def cmd_decode(args: argparse.Namespace) -> int:
    tok = tokenizer(args.encoding)
    raw = argument_or_file(args.ids, args.file, "JSON")
    try:
        ids = json.loads(raw)
    except json.JSONDecodeError as e:
        raise CliError(f"ids are not valid JSON: {e.msg} at position {e.pos}") from None
    if not isinstance(ids, list) or not all(type(i) is int for i in ids):
        raise CliError("ids must be a JSON list of integers")
    if any(i < 0 or i > 0xFFFFFFFF for i in ids):
        raise CliError("ids must lie between 0 and 4294967295")
    try:
        text = tok.decode(ids, errors=args.errors)
    except ValueError as e:
        raise CliError(str(e)) from None
    sys.stdout.write(text)
    if not text.endswith("\n") and sys.stdout.isatty():
        sys.stdout.write("\n")
    return 0


# ---- the program -------------------------------------------------------------------

COMMANDS: list[Callable[[Any], None]] = [_add_count, _add_encode, _add_decode, add_chunk]


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="zelkor", description="Count, encode, decode and chunk tokens of cl100k_base, o200k_base and o200k_harmony."
    )
    parser.add_argument("--version", action="version", version=f"zelkor {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    for add in COMMANDS:
        add(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.func(args))
    except CliError as e:
        print(f"zelkor: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stay quiet like other tools.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 141
    except MemoryError:
        print("zelkor: error: out of memory", file=sys.stderr)
        return 1
    except UnicodeEncodeError as e:
        # Text or a name the output's encoding cannot show (a terminal set to Latin-1, say).
        print(
            f"zelkor: error: standard output ({e.encoding}) cannot show {e.object[e.start : e.end]!r}; "
            "set PYTHONIOENCODING=utf-8",
            file=sys.stderr,
        )
        return 1


if __name__ == "__main__":
    sys.exit(main())
