"""Loading an encoding from a data directory: damaged, missing and unreadable
files, odd paths, the order in which files are read, and that a failed
construction leaves nothing behind."""

from __future__ import annotations

import errno
import functools
import gc
import os
import shutil
import struct
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Callable

import pytest

import zelkor

DATA = Path(__file__).resolve().parents[1] / "data"
FILES = {  # vocabulary, class tables, special tokens
    "cl100k_base": ("cl100k.vocab", "uniclass.bin", "cl100k.special"),
    "o200k_base": ("o200k.vocab", "uniclass_o200k.bin", "o200k.special"),
    "o200k_harmony": ("o200k.vocab", "uniclass_o200k.bin", "o200k_harmony.special"),
}
SAMPLE = "Read from a directory: naïve café, 世界 12345 <|endoftext|>\n\t  done"
DIRECTORY = object()  # put a directory where the file should be
UNREADABLE = object()  # a file that opens but fails to read


def os_error(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def u32(value: int) -> bytes:
    return struct.pack("<I", value)


@functools.lru_cache(maxsize=None)
def image(name: str) -> bytes:
    return (DATA / name).read_bytes()


@functools.lru_cache(maxsize=None)
def builtin(encoding: str):
    return zelkor.Tokenizer(encoding)


def remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    else:
        path.unlink(missing_ok=True)


def make_dir(root: Path, encoding: str, changes: dict | None = None) -> Path:
    """A data directory holding copies of the encoding's built-in images,
    with `changes` applied: name -> bytes, None (absent), DIRECTORY or UNREADABLE."""
    d = root / "data"
    if d.exists():
        shutil.rmtree(d)
    d.mkdir(parents=True)
    for name in FILES[encoding]:
        shutil.copy(DATA / name, d / name)
    for name, content in (changes or {}).items():
        remove(d / name)
        if content is DIRECTORY:
            (d / name).mkdir()
        elif content is UNREADABLE:
            if not Path("/proc/self/mem").exists():
                pytest.skip("needs /proc/self/mem for a file that cannot be read")
            (d / name).symlink_to("/proc/self/mem")  # opens, but reading offset 0 fails
        elif content is not None:
            (d / name).write_bytes(content)
    return d


def live_tokenizers() -> int:
    return sum(type(o) is zelkor.Tokenizer for o in gc.get_objects())


def assert_fails(encoding: str, datadir, message: str) -> None:
    before = live_tokenizers()
    with pytest.raises(RuntimeError) as info:
        zelkor.Tokenizer(encoding, str(datadir))
    assert str(info.value) == message
    assert live_tokenizers() == before


def assert_builtin_ids(encoding: str, datadir, specials: bool = True) -> None:
    tok = zelkor.Tokenizer(encoding, str(datadir))
    ref = builtin(encoding)
    assert tok.encode_ordinary(SAMPLE) == ref.encode_ordinary(SAMPLE)
    if specials:
        assert tok.special_tokens() == ref.special_tokens()
        assert tok.encode(SAMPLE, allowed_special="all") == ref.encode(SAMPLE, allowed_special="all")
    else:
        assert tok.special_tokens() == [] and tok.n_vocab == len(ref.token_byte_values())


def fails_then_recovers(tmp_path: Path, encoding: str, name: str, content, message: Callable[[Path], str]):
    """Construction from the damaged directory fails with exactly `message`;
    the same directory, repaired, then gives the built-in ids."""
    d = make_dir(tmp_path, encoding, {name: content})
    assert_fails(encoding, d, message(d / name))
    remove(d / name)
    shutil.copy(DATA / name, d / name)
    assert_builtin_ids(encoding, d)


# --- the vocabulary image ---------------------------------------------------


@functools.lru_cache(maxsize=None)
def record_offsets(name: str) -> list[int]:
    blob = image(name)
    offsets, off = [], 4
    for _ in range(struct.unpack_from("<I", blob)[0]):
        offsets.append(off)
        off += 2 + struct.unpack_from("<H", blob, off)[0] + 4
    return offsets


def patched(blob: bytes, offset: int, data: bytes) -> bytes:
    return blob[:offset] + data + blob[offset + len(data) :]


def rank_offset(blob: bytes, record: int) -> int:
    return record + 2 + struct.unpack_from("<H", blob, record)[0]


def without_single_byte(blob: bytes, byte: int) -> bytes:
    """The one-byte token `byte` turned into a second copy of byte + 1."""
    for off in record_offsets("cl100k.vocab")[:256]:
        if blob[off : off + 3] == b"\x01\x00" + bytes([byte]):
            return patched(blob, off + 2, bytes([byte + 1]))
    raise AssertionError("no such one-byte token")


V = "cl100k.vocab"
N = 100256
FIRST, SECOND = 4, 4 + 2 + 1 + 4  # record offsets: ids 0 and 1 are one byte each
VOCAB_FAULTS = {
    "empty": (lambda b: b"", "truncated header"),
    "three bytes": (lambda b: b[:3], "truncated header"),
    "count 0": (lambda b: u32(0) + b[4:], "token count out of range (max 262144 ids)"),
    "count 262145": (lambda b: u32(262145) + b[4:], "token count out of range (max 262144 ids)"),
    "count raised": (lambda b: u32(N + 1) + b[4:], "truncated record"),
    "count lowered": (lambda b: u32(N - 1) + b[4:], "trailing bytes"),
    "one extra byte": (lambda b: b + b"\0", "trailing bytes"),
    "16 MiB extra": (lambda b: b + bytes(16 << 20), "trailing bytes"),
    "len field cut": (lambda b: b[: record_offsets(V)[-1] + 1], "truncated record"),
    "rank field cut": (lambda b: b[:-1], "truncated token bytes"),
    "record length 0": (lambda b: patched(b, FIRST, b"\0\0"), "token length out of range"),
    "record length 256": (lambda b: patched(b, FIRST, b"\0\1"), "token length out of range"),
    "rank = count": (lambda b: patched(b, rank_offset(b, FIRST), u32(N)), "rank out of range"),
    "duplicate rank": (lambda b: patched(b, rank_offset(b, SECOND), u32(0)), "duplicate rank"),
    "byte 0xAB missing": (lambda b: without_single_byte(b, 0xAB), "no single-byte token for byte 0xAB"),
    "byte 0x00 missing": (lambda b: without_single_byte(b, 0x00), "no single-byte token for byte 0x00"),
}


@pytest.mark.parametrize("fault", list(VOCAB_FAULTS))
def test_vocab_faults(tmp_path, fault):
    damage, detail = VOCAB_FAULTS[fault]
    fails_then_recovers(
        tmp_path, "cl100k_base", V, damage(image(V)), lambda p: f"zelkor: bad vocab file ({detail}): {p}"
    )


def vocab_image(tokens: list[bytes]) -> bytes:
    return u32(len(tokens)) + b"".join(struct.pack("<H", len(t)) + t + u32(r) for r, t in enumerate(tokens))


def test_vocab_records_in_any_order(tmp_path):
    blob = image(V)
    offs = record_offsets(V) + [len(blob)]
    records = [blob[a:b] for a, b in zip(offs, offs[1:])]
    d = make_dir(tmp_path, "cl100k_base", {V: blob[:4] + b"".join(reversed(records))})
    assert_builtin_ids("cl100k_base", d)


def test_a_vocabulary_of_single_bytes(tmp_path):
    d = make_dir(tmp_path, "cl100k_base", {V: vocab_image([bytes([b]) for b in range(256)]), "cl100k.special": None})
    tok = zelkor.Tokenizer("cl100k_base", str(d))
    assert tok.encode("hi, 世") == list("hi, 世".encode())
    assert tok.decode(tok.encode(SAMPLE)) == SAMPLE
    assert tok.n_vocab == 256 and tok.special_tokens() == []


def trie_of(nodes: int) -> list[bytes]:
    """The 256 single bytes plus long tokens with distinct two-byte starts,
    for a trie of exactly `nodes` nodes, the root included."""
    tokens = [bytes([b]) for b in range(256)]
    need, i = nodes - 257, 0
    while need > 0:
        length = min(255, need + 1)  # adds length - 1 nodes below its first byte
        tokens.append(bytes([i >> 8, i & 0xFF]) + b"z" * (length - 2))
        need -= length - 1
        i += 1
    return tokens


def test_trie_node_limit(tmp_path):
    d = make_dir(tmp_path, "cl100k_base", {V: vocab_image(trie_of(1 << 20)), "cl100k.special": None})
    assert_fails("cl100k_base", d, f"zelkor: trie too large for packed e2 (max 2^20 nodes): {d / V}")
    tokens = trie_of((1 << 20) - 1)
    (d / V).write_bytes(vocab_image(tokens))
    tok = zelkor.Tokenizer("cl100k_base", str(d))
    assert tok.token_byte_values() == tokens
    assert tok.encode("zz zz") == [ord("z")] * 2 + [ord(" ")] + [ord("z")] * 2


# --- the class tables -------------------------------------------------------

U = "uniclass.bin"
LIST0 = 684  # ranges in the first list of both class images
CLASS_FAULTS = {
    "empty": lambda b: b"",
    "two lists only": lambda b: b[: 4 + 8 * LIST0 + 4 + 8 * 146],
    "count 100001": lambda b: u32(100001) + bytes(8 * 100001) + b[4 + 8 * LIST0 :],
    "lo above hi": lambda b: patched(b, 4, u32(struct.unpack_from("<I", b, 8)[0] + 1)),
    "hi 0x110000": lambda b: patched(b, 4 + 8 * (LIST0 - 1) + 4, u32(0x110000)),
    "cut inside a range": lambda b: b[:-3],
}


@pytest.mark.parametrize("fault", list(CLASS_FAULTS))
def test_class_faults(tmp_path, fault):
    damaged = CLASS_FAULTS[fault](image(U))
    fails_then_recovers(tmp_path, "cl100k_base", U, damaged, lambda p: f"zelkor: bad uniclass file: {p}")


def test_class_images_accept_what_follows_their_lists(tmp_path):
    # The five-list image starts with the three lists of the other one.
    assert_builtin_ids("cl100k_base", make_dir(tmp_path, "cl100k_base", {U: image("uniclass_o200k.bin")}))
    assert_builtin_ids("cl100k_base", make_dir(tmp_path, "cl100k_base", {U: image(U) + b"\xff" * 7}))
    o = "uniclass_o200k.bin"
    assert_fails("o200k_base", make_dir(tmp_path, "o200k_base", {o: image(U)}),
                 f"zelkor: bad uniclass file: {tmp_path / 'data' / o}")


# --- the special tokens -----------------------------------------------------

S = "cl100k.special"
STRING = 4 + 6  # the first string of the special image
SPECIAL_FAULTS = {
    "empty": lambda b: b"",
    "three bytes": lambda b: b[:3],
    "count 4097": lambda b: u32(4097) + b[4:],
    "count raised": lambda b: u32(6) + b[4:],
    "record length 0": lambda b: patched(b, STRING - 2, b"\0\0"),
    "record length 65": lambda b: patched(b, STRING - 2, b"\x41\0"),
    "byte 0xFF": lambda b: patched(b, STRING, b"\xff"),
    "lone continuation byte": lambda b: patched(b, STRING + 3, b"\x80"),
    "encoded surrogate": lambda b: patched(b, STRING + 1, b"\xed\xa0\x80"),
    "cut three-byte character": lambda b: patched(b, STRING + 12, b"\xe4"),
}


@pytest.mark.parametrize("fault", list(SPECIAL_FAULTS))
def test_special_faults(tmp_path, fault):
    damaged = SPECIAL_FAULTS[fault](image(S))
    fails_then_recovers(tmp_path, "cl100k_base", S, damaged, lambda p: f"zelkor: bad special-tokens file: {p}")


def test_special_images_that_load(tmp_path):
    assert_builtin_ids("cl100k_base", make_dir(tmp_path, "cl100k_base", {S: image(S) + b"junk \xff"}))
    assert_builtin_ids("cl100k_base", make_dir(tmp_path, "cl100k_base", {S: u32(0)}), specials=False)
    # 64 bytes is the longest string allowed
    d = make_dir(tmp_path, "cl100k_base", {S: u32(1) + u32(7) + b"\x40\0" + "é".encode() * 32})
    assert zelkor.Tokenizer("cl100k_base", str(d)).special_tokens() == [("é" * 32, 7)]


def special_record(token_id: int, text: str) -> bytes:
    data = text.encode()
    return struct.pack("<IH", token_id, len(data)) + data


def test_special_ids_near_the_top_of_the_id_range(tmp_path):
    # Special ids may be any u32. Loading and using them must not cost memory
    # in proportion to the largest id: the child process may grow by only
    # 256 MiB, far less than a table of every id up to 2**31 would take.
    records = [(0xFFFFFFFE, "<|top|>"), (0x80000000, "<|half|>"), (100257, "<|endoftext|>"),
               (0x80000000, "<|half again|>")]
    image = u32(len(records)) + b"".join(special_record(i, t) for i, t in records)
    d = make_dir(tmp_path, "cl100k_base", {S: image})
    code = f"""
        import resource, zelkor
        vm = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:"))
        limit = vm * 1024 + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        tok = zelkor.Tokenizer("cl100k_base", {str(d)!r})
        ids = tok.encode("a<|top|>b<|half|><|half again|><|endoftext|>", allowed_special="all")
        print(ids, tok.n_vocab, tok.max_token_value, tok.eot_token)
        print(tok.decode(ids), tok.decode_single_token_bytes(0x80000000), tok.encode_single_token("<|top|>"))
        print([tok.is_special_token(i) for i in (0xFFFFFFFE, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF)])
        print(tok.encode(" plain text") == zelkor.Tokenizer("cl100k_base").encode(" plain text"))
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.splitlines() == [
        f"[64, {0xFFFFFFFE}, 65, {0x80000000}, {0x80000000}, 100257] {2**32 - 1} {2**32 - 2} 100257",
        "a<|top|>b<|half|><|half|><|endoftext|> b'<|half|>' 4294967294",
        "[True, False, True, False]",
        "True",
    ]


# --- every file of every encoding -------------------------------------------


@pytest.mark.parametrize("encoding", list(FILES))
def test_every_file_is_read_from_the_directory(tmp_path, encoding):
    vocab, classes, special = FILES[encoding]
    path = tmp_path / "data"
    for name, message in (
        (vocab, f"zelkor: cannot open vocab file {path / vocab}: {os_error(errno.ENOENT)}"),
        (classes, f"zelkor: cannot open uniclass file {path / classes}: {os_error(errno.ENOENT)}"),
    ):
        assert_fails(encoding, make_dir(tmp_path, encoding, {name: None}), message)
    assert_builtin_ids(encoding, make_dir(tmp_path, encoding, {special: None}), specials=False)

    assert_fails(encoding, make_dir(tmp_path, encoding, {vocab: image(vocab) + b"\0"}),
                 f"zelkor: bad vocab file (trailing bytes): {path / vocab}")
    assert_fails(encoding, make_dir(tmp_path, encoding, {classes: image(classes)[:-1]}),
                 f"zelkor: bad uniclass file: {path / classes}")
    last_byte = len(image(special)) - 1  # inside the last string
    assert_fails(encoding, make_dir(tmp_path, encoding, {special: patched(image(special), last_byte, b"\xc0")}),
                 f"zelkor: bad special-tokens file: {path / special}")


# --- files that cannot be opened or read, and odd paths ---------------------

NOT_ROOT = pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not apply to root")


def test_vocab_that_cannot_be_opened_or_read(tmp_path):
    for content, message in (
        (None, "cannot open vocab file {p}: " + os_error(errno.ENOENT)),
        (DIRECTORY, "cannot read {p}: " + os_error(errno.EISDIR)),
        (UNREADABLE, "cannot read {p}: " + os_error(errno.EIO)),
    ):
        fails_then_recovers(tmp_path, "cl100k_base", V, content, lambda p: "zelkor: " + message.format(p=p))


def test_class_file_that_cannot_be_opened_or_read(tmp_path):
    for content, code in ((None, errno.ENOENT), (DIRECTORY, errno.EISDIR), (UNREADABLE, errno.EIO)):
        fails_then_recovers(
            tmp_path, "cl100k_base", U, content, lambda p: f"zelkor: cannot open uniclass file {p}: {os_error(code)}"
        )


def test_special_file_that_cannot_be_read_means_no_specials(tmp_path):
    for content in (DIRECTORY, UNREADABLE):
        assert_builtin_ids("cl100k_base", make_dir(tmp_path, "cl100k_base", {S: content}), specials=False)


@NOT_ROOT
def test_files_without_read_permission(tmp_path):
    d = make_dir(tmp_path, "cl100k_base")
    try:
        for name, message in (
            (V, f"zelkor: cannot open vocab file {d / V}: {os_error(errno.EACCES)}"),
            (U, f"zelkor: cannot open uniclass file {d / U}: {os_error(errno.EACCES)}"),
        ):
            (d / name).chmod(0)
            assert_fails("cl100k_base", d, message)
            (d / name).chmod(0o644)
        (d / S).chmod(0)
        assert_builtin_ids("cl100k_base", d, specials=False)
    finally:
        for name in FILES["cl100k_base"]:
            (d / name).chmod(0o644)


def test_directory_paths(tmp_path, monkeypatch):
    d = make_dir(tmp_path, "cl100k_base")
    missing = tmp_path / "nowhere"
    for given in (str(missing), str(missing) + "/"):
        assert_fails("cl100k_base", given, f"zelkor: cannot open vocab file {missing}/{V}: {os_error(errno.ENOENT)}")
    assert_fails("cl100k_base", d / V, f"zelkor: cannot open vocab file {d / V}/{V}: {os_error(errno.ENOTDIR)}")
    nul = f"{d}\0/x"
    assert_fails("cl100k_base", nul, f"zelkor: cannot open vocab file {nul}/{V}: file name contained an unexpected NUL byte")
    monkeypatch.chdir(tmp_path)
    assert_fails("cl100k_base", "nowhere", f"zelkor: cannot open vocab file nowhere/{V}: {os_error(errno.ENOENT)}")
    assert_builtin_ids("cl100k_base", "data/")


# --- order of loading, and nothing left behind ------------------------------


def test_loading_order(tmp_path):
    bad_vocab, bad_special = image(V) + b"\0", b""
    d = make_dir(tmp_path, "cl100k_base", {V: bad_vocab, U: None, S: bad_special})
    assert_fails("cl100k_base", d, f"zelkor: bad vocab file (trailing bytes): {d / V}")
    d = make_dir(tmp_path, "cl100k_base", {U: None, S: bad_special})
    assert_fails("cl100k_base", d, f"zelkor: cannot open uniclass file {d / U}: {os_error(errno.ENOENT)}")
    # The name is checked before any file is touched.
    for datadir in (d, tmp_path / "nowhere", "x\0y"):
        assert_fails("cl100k", datadir, "zelkor: unknown encoding: cl100k (built-in: cl100k_base, o200k_base, o200k_harmony)")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc")
def test_failures_late_in_construction_release_everything(tmp_path):
    # The special-tokens file is read last: the vocabulary index and the
    # class tables (about 15 MB here) are already built when it fails.
    d = make_dir(tmp_path, "cl100k_base", {S: b"\1\0\0\0"})
    message = f"zelkor: bad special-tokens file: {d / S}"
    assert_fails("cl100k_base", d, message)
    before = rss_bytes()
    for _ in range(12):
        assert_fails("cl100k_base", d, message)
    assert rss_bytes() - before < 60 << 20
    assert_builtin_ids("cl100k_base", make_dir(tmp_path, "cl100k_base"))
