"""The command that started this process, as a user would type it again
(the journal's run line, the resume hint)."""
from __future__ import annotations

import sys
from typing import List, Optional


def command_line(argv: Optional[List[str]] = None) -> str:
    """The command that started this process, as a user would type it."""
    argv = list(sys.argv if argv is None else argv)
    spec = getattr(sys.modules.get("__main__"), "__spec__", None)
    name = getattr(spec, "name", "") or ""
    if name.endswith(".__main__"):
        head = ["python", "-m", name[: -len(".__main__")]]
    elif name:
        head = ["python", "-m", name]
    else:
        head = ["python"] + argv[:1]
    return join_command(head + argv[1:])


def join_command(words: List[str]) -> str:
    if sys.platform == "win32":
        import subprocess
        return subprocess.list2cmdline(words)
    import shlex
    return " ".join(shlex.quote(word) for word in words)
