"""One message when a run ends: a JSON POST to a webhook, or an e-mail.

A notifier must never cost the run: it is sent from a thread of its own
that the run waits for at most ``WAIT_SECONDS``; whatever goes wrong (no
receiver, an error status, a receiver that never answers) is logged and
changes neither the run's results nor its exit status.
"""
from __future__ import annotations

import email.message
import json
import logging
import smtplib
import socket
import threading
import urllib.request
from typing import Any, Dict, List, Optional

from ..items import NOT_SOLVED_OUTCOME, outcome

logger = logging.getLogger("dralvex_computer")
WAIT_SECONDS = 5.0         # the longest a run waits for its message to go
CONNECT_SECONDS = 4.0      # each connection's time-out


def message(records: List[Dict[str, Any]], title: str, interrupted: bool, page: Optional[str],
            command: Optional[str], regressed: Optional[bool] = None) -> Dict[str, Any]:
    """The message's content: short, plain data."""
    counts: Dict[str, int] = {}
    for record in records:
        counts[str(record.get("status"))] = counts.get(str(record.get("status")), 0) + 1
    failed = [str(record.get("item")) for record in records
              if outcome(record.get("status")) == NOT_SOLVED_OUTCOME][:10]
    text = "%s: %s%s" % (title, ", ".join("%d %s" % (count, status) for status, count in sorted(counts.items()))
                         or "no models", " (interrupted)" if interrupted else "")
    if regressed:
        text += "; regressed since the last run"
    return {"title": title, "text": text, "counts": counts, "interrupted": interrupted, "page": page,
            "host": socket.gethostname(), "command": command, "failed": failed, "regressed": regressed}


def cannot_start(title: str, why: str, command: Optional[str]) -> Dict[str, Any]:
    """The message of a night that could not start, and why."""
    return {"title": title, "text": "%s: the night did not start: %s" % (title, why), "counts": {},
            "interrupted": False, "page": None, "host": socket.gethostname(), "command": command, "failed": [],
            "regressed": None, "started": False, "reason": why}


def _post(url: str, content: Dict[str, Any]) -> None:
    request = urllib.request.Request(url, data=json.dumps(content).encode("utf-8"), method="POST",
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=CONNECT_SECONDS) as answer:   # an error status raises
        answer.read()


def _mail(address: str, content: Dict[str, Any], server: str) -> None:
    host, _, port = server.rpartition(":") if ":" in server else (server, "", "25")
    mail = email.message.EmailMessage()
    mail["Subject"] = content["text"]
    mail["From"] = "dralvex-computer@%s" % content["host"]
    mail["To"] = address
    lines = [content["text"], ""]
    if content.get("page"):
        lines.append("The page: %s" % content["page"])
    if content.get("failed"):
        lines.append("Not solved: %s" % ", ".join(content["failed"]))
    if content.get("command"):
        lines.append("Command: %s" % content["command"])
    mail.set_content("\n".join(lines) + "\n")
    with smtplib.SMTP(host or "localhost", int(port), timeout=CONNECT_SECONDS) as connection:
        connection.send_message(mail)


def send(target: str, content: Dict[str, Any], smtp_server: str = "localhost:25",
         wait: float = WAIT_SECONDS) -> bool:
    """Sends the message to ``target`` (an http(s) URL or an e-mail
    address); whether it went. Never raises, never takes more than about
    ``wait`` seconds."""
    outcome: List[BaseException] = []

    def go() -> None:
        try:
            if target.startswith(("http://", "https://")):
                _post(target, content)
            else:
                _mail(target[len("mailto:"):] if target.startswith("mailto:") else target, content, smtp_server)
        except BaseException as error:   # the run goes on, whatever the receiver did
            outcome.append(error)

    thread = threading.Thread(target=go, name="dralvex-notify", daemon=True)
    thread.start()
    thread.join(wait)
    if thread.is_alive():
        logger.warning("the notification to %s did not go within %.0f s: given up", target, wait)
        return False
    if outcome:
        logger.warning("the notification to %s failed: %s: %s", target, type(outcome[0]).__name__, outcome[0])
        return False
    return True


def check(target: str) -> None:
    """ValueError for a target that is neither a URL nor an address."""
    address = target[len("mailto:"):] if target.startswith("mailto:") else target
    if not target.startswith(("http://", "https://")) and ("@" not in address or " " in address):
        raise ValueError("--notify takes an http(s) URL (a webhook) or an e-mail address, not %r" % target)
