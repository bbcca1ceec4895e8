"""Runs Python code in a fresh interpreter, for behaviour that is process-wide or set at import."""

import os
import subprocess
import sys
import tempfile
import textwrap


def run_python(code, env=None, timeout=60):
    """Runs `code` in a child interpreter (outside the source tree) and returns the CompletedProcess.

    `env` entries are added to the current environment; a value of None removes the variable.
    """
    child_env = dict(os.environ)
    for name, value in (env or {}).items():
        if value is None:
            child_env.pop(name, None)
        else:
            child_env[name] = value
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=child_env,
        cwd=tempfile.gettempdir(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
