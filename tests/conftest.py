"""Shared fixtures: one Tokenizer per built-in encoding, and the corpus."""

from __future__ import annotations

from pathlib import Path

import pytest

# Slices of real texts (prose, code, several languages), carried with the tests.
CORPUS_DIR = Path(__file__).resolve().parent / "data" / "corpus"


def _tokenizer(name: str):
    import zelkor

    return zelkor.Tokenizer(name)


@pytest.fixture(scope="module")
def cl100k():
    return _tokenizer("cl100k_base")


@pytest.fixture(scope="module")
def o200k():
    return _tokenizer("o200k_base")


@pytest.fixture(scope="module")
def harmony():
    return _tokenizer("o200k_harmony")


@pytest.fixture(scope="module", params=["cl100k_base", "o200k_base", "o200k_harmony"])
def any_tok(request):
    return _tokenizer(request.param)


@pytest.fixture(scope="session")
def corpus_texts() -> dict[str, str]:
    """The corpus slices by name."""
    files = sorted(CORPUS_DIR.glob("*.txt"))
    assert files, f"no corpus slices in {CORPUS_DIR}"
    return {p.name: p.read_text(encoding="utf-8") for p in files}
