"""Argument conversions and their messages, and the buffer and numpy results."""

from __future__ import annotations

import array
import subprocess
import sys
import textwrap

import pytest

EOT = "<|endoftext|>"
EXTRACT = "Can't extract `str` to `Vec`"
RANGE = "out of range integral type conversion attempted"


def raises_with_note(exc, param, fn, *args, **kwargs):
    """fn(...) raises exc carrying the note for `param` (notes exist from 3.11)."""
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"while processing '{param}'"]
    return str(info.value)


class TestSpecialPolicy:
    def test_accepted_forms(self, cl100k):
        text, eot = f"a{EOT}", cl100k.eot_token
        for allowed in ("all", {EOT}, [EOT], {EOT: 1}, iter([EOT])):
            assert cl100k.encode(text, allowed_special=allowed)[-1] == eot
        for disallowed in ((), set(), []):
            assert cl100k.encode(text, disallowed_special=disallowed) == cl100k.encode_ordinary(text)
        assert cl100k.encode("abc", allowed_special=None, disallowed_special=None) == cl100k.encode("abc")

    @pytest.mark.parametrize("arg", ["allowed_special", "disallowed_special"])
    def test_refused_forms(self, cl100k, arg):
        for bad in (EOT, "ALL", ""):
            with pytest.raises(ValueError) as info:
                cl100k.encode("a", **{arg: bad})
            assert str(info.value) == "allowed_special/disallowed_special must be 'all' or a collection of strings"
            assert not getattr(info.value, "__notes__", None)
        for bad in (5, [EOT, 3]):  # not iterable; a non-str item
            with pytest.raises(TypeError):
                cl100k.encode("a", **{arg: bad})

        def failing():
            yield "x"
            raise KeyError("boom")

        with pytest.raises(KeyError, match="boom"):
            cl100k.encode("a", **{arg: failing()})


class TestIdLists:
    def test_sequences_are_accepted(self, cl100k):
        ids = cl100k.encode("hello world")
        for seq in (tuple(ids), array.array("I", ids)):
            assert cl100k.decode(seq) == "hello world"
        assert cl100k.decode(range(ids[0], ids[0] + 1)) == "hello"
        assert cl100k.decode([True]) == cl100k.decode([1])

    def test_refused(self, cl100k):
        assert raises_with_note(TypeError, "ids", cl100k.decode, "abc") == EXTRACT
        for not_a_sequence in ({1, 2}, {1: 2}, (i for i in [1, 2])):
            raises_with_note(TypeError, "ids", cl100k.decode, not_a_sequence)
        raises_with_note(TypeError, "ids", cl100k.decode, [1.0])
        raises_with_note(TypeError, "ids", cl100k.decode_bytes, [1, "2"])

    @pytest.mark.parametrize("value", [-1, 2**32, 2**40])
    def test_out_of_u32_range(self, cl100k, value):
        assert raises_with_note(OverflowError, "ids", cl100k.decode, [1, value]) == RANGE
        assert raises_with_note(OverflowError, "id", cl100k.decode_single_token_bytes, value) == RANGE
        assert raises_with_note(OverflowError, "id", cl100k.is_special_token, value) == RANGE
        # beyond 64 bits it is the interpreter's own overflow
        assert raises_with_note(OverflowError, "ids", cl100k.decode, [value << 64]) != RANGE

    def test_decode_batch_items(self, cl100k):
        assert raises_with_note(TypeError, "batch", cl100k.decode_batch, "ab") == EXTRACT
        assert raises_with_note(TypeError, "batch", cl100k.decode_batch, ["ab"]) == EXTRACT
        raises_with_note(OverflowError, "batch", cl100k.decode_batch, [[1], [-1]])


class TestScalars:
    def test_none_only_for_special_policies(self, cl100k):
        raises_with_note(TypeError, "errors", cl100k.decode, [1], errors=None)
        raises_with_note(TypeError, "unit", cl100k.encode_with_offsets, "a", unit=None)
        raises_with_note(TypeError, "threads", cl100k.count_batch, ["a"], threads=None)
        raises_with_note(TypeError, "with_special", cl100k.count_batch, ["a"], with_special=None)
        raises_with_note(TypeError, "text", cl100k.encode, None)
        raises_with_note(TypeError, "max_tokens", cl100k.truncate, "a", None)

    def test_strict_flag(self, cl100k):
        for bad in (1, "yes"):
            raises_with_note(TypeError, "with_special", cl100k.encode_batch, ["a"], with_special=bad)
        assert cl100k.count_batch([EOT], with_special=True) == [1]
        np = pytest.importorskip("numpy")
        assert cl100k.count_batch([EOT], with_special=np.bool_(True)) == [1]
        assert cl100k.count_batch([EOT], with_special=np.bool_(False)) == [cl100k.count(EOT)]
        # Only numpy's own type: not one that borrows its name.
        for name in ("numpy.bool", "numpy.bool_"):
            look_alike = type(name, (), {"__bool__": lambda self: True})()
            raises_with_note(TypeError, "with_special", cl100k.count_batch, [EOT], with_special=look_alike)

    def test_flag_check_does_not_import_numpy(self):
        code = """
            import sys, zelkor
            try:
                zelkor.Tokenizer("cl100k_base").count_batch(["a"], with_special=1)
            except TypeError:
                print("numpy" in sys.modules)
        """
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
        assert out.stdout == "False\n"

    def test_counts(self, cl100k):
        raises_with_note(OverflowError, "threads", cl100k.count_batch, ["a"], threads=-1)
        raises_with_note(OverflowError, "max_tokens", cl100k.truncate, "a", -1)
        raises_with_note(OverflowError, "max_tokens", cl100k.truncate, "a", 2**64)
        raises_with_note(TypeError, "max_tokens", cl100k.truncate, "a", 1.5)
        raises_with_note(TypeError, "text", cl100k.truncate, 5, -1)  # the text is checked first
        assert cl100k.truncate("a b", 2**64 - 1) == ("a b", 2)

    def test_text_kinds(self, cl100k):
        class S(str):
            pass

        assert cl100k.encode(S("hello")) == cl100k.encode("hello")
        raises_with_note(TypeError, "text", cl100k.encode_ordinary, b"hello")
        assert raises_with_note(TypeError, "texts", cl100k.encode_batch, "abc") == EXTRACT
        raises_with_note(TypeError, "texts", cl100k.encode_batch, ["a", b"b"])
        raises_with_note(UnicodeEncodeError, "text", cl100k.count, "a\ud800")
        for not_bytes in (bytearray(b"a"), memoryview(b"a")):
            raises_with_note(TypeError, "data", cl100k.encode_bytes, not_bytes)


class TestResults:
    def test_buffer_layout(self, cl100k):
        ids = cl100k.encode("hello world, again")
        assert cl100k.encode_to_buffer("hello world, again") == b"".join(i.to_bytes(4, "little") for i in ids)

    def test_numpy_results(self, any_tok):
        np = pytest.importorskip("numpy")
        text = f"Numpy arrays view one bytes object. {EOT}"
        arr = any_tok.encode_to_numpy(text, allowed_special="all")
        assert arr.dtype == np.uint32 and arr.ndim == 1 and not arr.flags.writeable
        assert arr.tolist() == any_tok.encode(text, allowed_special="all")
        texts = ["one", "", "three four"]
        ids, offsets = any_tok.encode_batch_to_numpy(texts)
        assert ids.dtype == np.uint32 and offsets.dtype == np.int64
        assert not ids.flags.writeable and not offsets.flags.writeable
        assert (ids.tobytes(), offsets.tobytes()) == any_tok.encode_batch(texts)

    def test_missing_numpy(self):
        code = """
            import sys
            sys.modules["numpy"] = None
            import zelkor
            tok = zelkor.Tokenizer("cl100k_base")
            for call in (lambda: tok.encode_to_numpy("a"), lambda: tok.encode_batch_to_numpy(["a"])):
                try:
                    call()
                except RuntimeError as e:
                    assert e.__cause__ is None and e.__context__ is None, repr(e.__context__)
                    print(e)
        """
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
        msg = "the numpy methods need numpy installed: pip install 'zelkor-rs[numpy]'"
        assert out.stdout.splitlines() == [msg, msg]
