import contextlib
import io
import os
import re
from pathlib import Path


def test_readme_python_example_prints_what_the_readme_shows():
    readme = Path(os.environ["VERTEX_WELD_SOURCE_DIR"], "README.md").read_text()
    found = re.search(r"```python\n(import numpy\n.*?)```\n\n```\n(.*?)```", readme, re.S)
    example, expected = found.groups()
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(example, {})
    assert printed.getvalue() == expected
