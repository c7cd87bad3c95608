"""The README's examples run as they stand, each in an empty directory."""

import re
from pathlib import Path

import pytest
from conftest import finish, start_python

README = Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"^```python\n(.*?)^```$", README.read_text(), re.MULTILINE | re.DOTALL)


def test_the_readme_has_examples():
    assert len(EXAMPLES) >= 4


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example-{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(tmp_path, code):
    finish(start_python(code, tmp_path))
