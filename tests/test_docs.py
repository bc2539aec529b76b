"""The examples of the README and docs/api.md are real: run them."""

from __future__ import annotations

import doctest
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("name", ["README.md", "docs/api.md", "docs/arrow.md"])
def test_examples(name):
    pytest.importorskip("numpy")
    if name == "docs/arrow.md":
        pytest.importorskip("pyarrow")
    result = doctest.testfile(str(ROOT / name), module_relative=False,
                              optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0
    assert result.attempted > 0
