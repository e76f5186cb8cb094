"""The command that started this process, as a user would type it again
(the journal's run line, the page, the message, the resume hint), with
no secret in it: a URL's user and password and its query's values (a
webhook's token) are never written anywhere."""
from __future__ import annotations

import re
import sys
import urllib.parse
from typing import List, Optional

HIDDEN = "***"
_URL = re.compile(r"(?:[^=\s]*=)?https?://", re.IGNORECASE)


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


def redacted(text: str) -> str:
    """``text`` (a word of a command: a URL, or --option=URL) with its
    URL's user information and query values hidden."""
    if not _URL.match(text):
        return text
    prefix, _, url = ("", "", text) if text.lower().startswith(("http://", "https://")) else text.partition("=")
    try:
        parts = urllib.parse.urlsplit(url)
    except ValueError:
        return prefix + ("=" if prefix else "") + HIDDEN   # not even a URL: nothing of it is safe to show
    netloc = parts.netloc
    if "@" in netloc:
        netloc = HIDDEN + "@" + netloc.rpartition("@")[2]
    query = "&".join("%s=%s" % (name, HIDDEN) if value or "=" in pair else name
                     for pair in parts.query.split("&") if pair
                     for name, _, value in [pair.partition("=")])
    hidden = urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, HIDDEN if parts.fragment else ""))
    return prefix + ("=" if prefix else "") + hidden


def join_command(words: List[str]) -> str:
    words = [redacted(word) for word in words]
    if sys.platform == "win32":
        import subprocess
        return subprocess.list2cmdline(words)
    import shlex
    return " ".join(shlex.quote(word) for word in words)
