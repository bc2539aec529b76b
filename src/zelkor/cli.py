"""The `zelkor` command line: count, encode and decode.

    zelkor count [--encoding NAME] [--threads N] [FILE ...]
    zelkor count [--encoding NAME] [--threads N] --parquet FILE --column NAME
    zelkor encode [--encoding NAME] [--allowed-special all|TOKEN,...] [TEXT | --file FILE]
    zelkor decode [--encoding NAME] [--errors replace|ignore|strict] [JSON | --file FILE]
    zelkor chunk [--encoding NAME] --max-tokens N [--overlap K] [--boundary KIND] [FILE ...]

Bad input ends with a one-line message on standard error and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Iterator, Sequence

from ._zelkor import BUILTIN_ENCODINGS, Tokenizer, __version__

DEFAULT_ENCODING = "o200k_base"
# Inputs above this size get a progress bar (when standard error is a terminal).
PROGRESS_THRESHOLD = 8 << 20
# Large texts are counted in pieces of about this many characters, cut where
# a pre-token boundary is certain, so that the pieces count in parallel.
CHUNK_CHARS = 1 << 20
# Rows of a Parquet column counted per call: enough texts to keep every thread busy.
PARQUET_BATCH_ROWS = 1 << 16


class CliError(Exception):
    """A failure reported to the user as one line."""


def _read_text(path: str) -> str:
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        name = "standard input" if path == "-" else path
        raise CliError(f"{name} is not valid UTF-8 (byte {e.start})") from None


def _argument_or_file(value: str | None, path: str | None, name: str) -> str:
    """The positional argument, else the --file, else standard input."""
    if path is not None:
        if value is not None:
            raise CliError(f"give either {name} or --file, not both")
        return _read_text(path)
    return value if value is not None else _read_text("-")


def _cut_points(text: str, size: int) -> Iterator[tuple[int, int]]:
    """Yields (start, end) pieces of about `size` characters.

    A piece ends right after a line feed that is followed by an ASCII letter or
    digit. No pre-token of any of the encodings runs across such a place (a line
    feed is never the lead of a word and ends every run it closes), and matching
    only looks forward, so counting the pieces separately gives the same total.
    """
    n = len(text)
    start = 0
    while n - start > size:
        cut = -1
        pos = start + size
        while True:
            nl = text.find("\n", pos, n - 1)
            if nl < 0:
                break
            nxt = text[nl + 1]
            if nxt.isascii() and nxt.isalnum():
                cut = nl + 1
                break
            pos = nl + 1
        if cut < 0:
            break
        yield start, cut
        start = cut
    yield start, n


def _progress(total: int, desc: str, unit: str = "B", worth_it: bool | None = None):
    """A bar on standard error, or None; by default worth it for `total` bytes from the threshold on."""
    if worth_it is None:
        worth_it = total >= PROGRESS_THRESHOLD
    if not worth_it or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=desc, unit=unit, unit_scale=True, file=sys.stderr, leave=False)


def cmd_count(args: argparse.Namespace) -> int:
    if args.column is not None and args.parquet is None:
        raise CliError("--column goes with --parquet")
    if args.parquet is not None:
        if args.files:
            raise CliError("give either FILE or --parquet, not both")
        if args.column is None:
            raise CliError("--parquet needs --column NAME")
        tok = _tokenizer(args.encoding)
        total = _count_parquet_column(tok, args.parquet, args.column, args.threads)
        print(f"{total}\t{args.parquet}")
        return 0
    tok = _tokenizer(args.encoding)
    paths = args.files or ["-"]
    texts = [(p, _read_text(p)) for p in paths]
    bar = _progress(sum(len(t) for _, t in texts), "counting")
    total = 0
    try:
        for path, text in texts:
            pieces = [text[a:b] for a, b in _cut_points(text, CHUNK_CHARS)]
            count = 0
            # Batches of pieces keep memory bounded and let the bar move.
            step = max(1, 2 * (args.threads or os.cpu_count() or 1))
            for i in range(0, len(pieces), step):
                batch = pieces[i : i + step]
                count += sum(tok.count_batch(batch, threads=args.threads))
                if bar is not None:
                    bar.update(sum(len(p) for p in batch))
            total += count
            print(f"{count}\t{'-' if path == '-' else path}")
    finally:
        if bar is not None:
            bar.close()
    if len(texts) > 1:
        print(f"{total}\ttotal")
    return 0


def _count_parquet_column(tok: Tokenizer, path: str, column: str, threads: int) -> int:
    """The tokens of every non-null text in one string column, read batch by batch."""
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
        import pyarrow.parquet as pq
    except ImportError:
        raise CliError("--parquet needs pyarrow: pip install 'zelkor-rs[arrow]'") from None
    from . import arrow as zarrow

    def unreadable(e: Exception) -> CliError:
        if isinstance(e, OSError) and e.strerror:
            return CliError(f"cannot read {path}: {e.strerror}")
        detail = (str(e).strip().splitlines() or [type(e).__name__])[0]
        return CliError(f"cannot read {path}: {detail}")

    try:
        pf = pq.ParquetFile(path)
    except (OSError, pa.ArrowException) as e:
        raise unreadable(e) from None
    schema = pf.schema_arrow
    if column not in schema.names:
        raise CliError(f"{path} has no column {column!r}; its columns: {', '.join(schema.names) or '(none)'}")
    if schema.names.count(column) > 1:
        raise CliError(f"{path} has more than one column named {column!r}")
    kind = schema.field(column).type
    coded = pa.types.is_dictionary(kind)  # e.g. written from a pandas categorical
    if not _is_text_type(pa, kind.value_type if coded else kind):
        raise CliError(f"column {column!r} of {path} holds {kind}, not strings")

    rows = pf.metadata.num_rows
    # The file's sizes say little about the text (dictionary pages, compression),
    # so the bar is for files read in more than one batch.
    bar = _progress(rows, "counting", unit="rows", worth_it=rows > PARQUET_BATCH_ROWS)
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


def _is_text_type(pa, kind) -> bool:
    is_view = getattr(pa.types, "is_string_view", None)  # newer pyarrow only
    return pa.types.is_string(kind) or pa.types.is_large_string(kind) or bool(is_view and is_view(kind))


def _specials_arg(value: str | None):
    if value is None:
        return None
    if value == "all":
        return "all"
    return {s for s in value.split(",") if s}


def cmd_encode(args: argparse.Namespace) -> int:
    tok = _tokenizer(args.encoding)
    text = _argument_or_file(args.text, args.file, "TEXT")
    try:
        ids = tok.encode(text, allowed_special=_specials_arg(args.allowed_special))
    except ValueError as e:
        # The disallowed-special message spans lines; its first line says it all.
        raise CliError(str(e).splitlines()[0] + " (see --allowed-special)") from None
    print(json.dumps(ids))
    return 0


def cmd_decode(args: argparse.Namespace) -> int:
    tok = _tokenizer(args.encoding)
    raw = _argument_or_file(args.ids, args.file, "JSON")
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


def _tokenizer(name: str) -> Tokenizer:
    try:
        return Tokenizer(name)
    except RuntimeError as e:
        raise CliError(str(e).removeprefix("zelkor: ")) from None


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zelkor", description="Count, encode and decode tokens of cl100k_base, o200k_base and o200k_harmony."
    )
    parser.add_argument("--version", action="version", version=f"zelkor {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add_encoding(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "-e",
            "--encoding",
            default=DEFAULT_ENCODING,
            help=f"one of {', '.join(BUILTIN_ENCODINGS)} (default: {DEFAULT_ENCODING})",
        )

    p = sub.add_parser("count", help="count the tokens of files or standard input")
    add_encoding(p)
    p.add_argument("--threads", type=_non_negative, default=0, help="worker threads (default: all CPUs)")
    p.add_argument("--parquet", metavar="FILE", help="count the texts of one column of this Parquet file")
    p.add_argument("--column", metavar="NAME", help="the string column to count (with --parquet)")
    p.add_argument("files", nargs="*", metavar="FILE", help="files to count; '-' or none reads standard input")
    p.set_defaults(func=cmd_count)

    p = sub.add_parser("encode", help="encode text to a JSON list of token ids")
    add_encoding(p)
    p.add_argument(
        "--allowed-special",
        metavar="SPECIALS",
        help="'all', or a comma-separated list of special tokens to encode as their ids",
    )
    p.add_argument("-f", "--file", help="read the text from this file ('-' for standard input)")
    p.add_argument("text", nargs="?", help="the text (default: standard input)")
    p.set_defaults(func=cmd_encode)

    p = sub.add_parser("decode", help="decode a JSON list of token ids to text")
    add_encoding(p)
    p.add_argument("--errors", default="replace", choices=["replace", "ignore", "strict"])
    p.add_argument("-f", "--file", help="read the ids from this file ('-' for standard input)")
    p.add_argument("ids", nargs="?", metavar="JSON", help="the ids, e.g. '[15339, 1917]' (default: standard input)")
    p.set_defaults(func=cmd_decode)

    from .cli_chunk import add_parser as add_chunk_parser

    add_chunk_parser(sub, add_encoding, _non_negative)
    return parser


def _non_negative(value: str) -> int:
    try:
        n = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {value!r}") from None
    if n < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return n


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
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


if __name__ == "__main__":
    sys.exit(main())
