"""Running an attack in a child interpreter, so that a crash, a hang or a runaway allocation
fails one test instead of the whole session.

The child gets the snippet's source with `textwrap.dedent` applied, the installed package on
its path (the same interpreter as the tests) and, on request, a cap on its address space.
Time is bounded by the subprocess timeout, never by a timed assertion.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
from dataclasses import dataclass

from conftest import SANITIZED

# Prepended to every snippet: the address-space cap, and `report(value)` for the one
# JSON line the child hands back.
_PRELUDE = """\
import json, resource, sys
_cap = int(sys.argv[1])
if _cap:
    resource.setrlimit(resource.RLIMIT_AS, (_cap, _cap))
def report(value):
    print("@@" + json.dumps(value), flush=True)
"""


@dataclass
class Outcome:
    returncode: int
    stdout: str
    stderr: str
    timed_out: bool
    reports: list

    @property
    def crashed(self):
        """Killed by a signal (a segfault, an abort from the sanitizer)."""
        return self.returncode < 0

    def describe(self):
        how = "timed out" if self.timed_out else f"exit {self.returncode}"
        if self.returncode < 0:
            how = f"killed by {signal.Signals(-self.returncode).name}"
        return f"{how}\n--- stdout\n{self.stdout[-2000:]}\n--- stderr\n{self.stderr[-4000:]}"

    @property
    def value(self):
        """The last reported value."""
        assert self.reports, self.describe()
        return self.reports[-1]


def run_isolated(source, *args, timeout=60, address_space=0, env=None):
    """Runs `source` in a new interpreter; extra `args` follow in sys.argv[2:].

    `address_space` caps the child's virtual memory in bytes (ignored under the sanitizer,
    whose own mappings do not fit under a cap)."""
    if SANITIZED:
        address_space = 0
    code = _PRELUDE + textwrap.dedent(source)
    argv = [sys.executable, "-X", "dev", "-c", code, str(address_space), *map(str, args)]
    child_env = dict(os.environ, **(env or {}))
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=child_env,
                              start_new_session=True)
    except subprocess.TimeoutExpired as expired:
        return Outcome(-signal.SIGKILL, _text(expired.stdout), _text(expired.stderr), True, [])
    reports = [json.loads(line[2:]) for line in done.stdout.splitlines() if line.startswith("@@")]
    return Outcome(done.returncode, done.stdout, done.stderr, False, reports)


def _text(data):
    if data is None:
        return ""
    return data.decode(errors="replace") if isinstance(data, bytes) else data

