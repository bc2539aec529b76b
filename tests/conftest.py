"""Shared fixtures: one Tokenizer per built-in encoding, and the corpus."""

from __future__ import annotations

from pathlib import Path

import pytest

CORPUS_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


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
    """The corpus files by name; the test is skipped when the folder is absent."""
    files = sorted(CORPUS_DIR.glob("*.txt")) if CORPUS_DIR.is_dir() else []
    if not files:
        pytest.skip("corpus folder not present")
    return {p.name: p.read_text(encoding="utf-8") for p in files}
