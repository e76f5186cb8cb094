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
import os
import smtplib
import socket
import threading
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Dict, List, Optional

from ..command import redacted
from ..items import NOT_SOLVED_OUTCOME, outcome

logger = logging.getLogger("dralvex_computer")
WAIT_SECONDS = 5.0         # the longest a run waits for its message to go
CONNECT_SECONDS = 4.0      # each connection's time-out


def message(records: List[Dict[str, Any]], title: str, interrupted: bool, page: Optional[str],
            command: Optional[str], regressed: Optional[bool] = None,
            history: Optional[Dict[str, List[str]]] = None) -> Dict[str, Any]:
    """The message's content: short, plain data. ``history``: the drifting
    and the flaky models over the nights (given ``--history``)."""
    counts: Dict[str, int] = {}
    for record in records:
        counts[str(record.get("status"))] = counts.get(str(record.get("status")), 0) + 1
    failed = [str(record.get("item")) for record in records
              if outcome(record.get("status")) == NOT_SOLVED_OUTCOME][:10]
    text = "%s: %s%s" % (title, ", ".join("%d %s" % (count, status) for status, count in sorted(counts.items()))
                         or "no models", " (interrupted)" if interrupted else "")
    if regressed:
        text += "; regressed since the last run"
    found = {}
    if history is not None:
        found = {category: models[:10] for category, models in history.items()}
        text += "".join("; %d %s" % (len(models), category) for category, models in history.items() if models)
    return dict({"title": title, "text": text, "counts": counts, "interrupted": interrupted, "page": page,
                 "host": socket.gethostname(), "command": command, "failed": failed, "regressed": regressed},
                **found)


def cannot_start(title: str, why: str, command: Optional[str]) -> Dict[str, Any]:
    """The message of a night that could not start, and why."""
    return {"title": title, "text": "%s: the night did not start: %s" % (title, why), "counts": {},
            "interrupted": False, "page": None, "host": socket.gethostname(), "command": command, "failed": [],
            "regressed": None, "started": False, "reason": why}


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    """A redirect is not followed: urllib would send the POST again as a GET
    without its body, and the message would be lost without a word."""

    def redirect_request(self, *arguments: Any) -> None:
        return None   # the 30x then raises, as an error status does


ANSWER_BYTES = 4096   # what is read of a receiver's answer, whatever its size


def _post(url: str, content: Dict[str, Any]) -> None:
    request = urllib.request.Request(url, data=json.dumps(content).encode("utf-8"), method="POST",
                                     headers={"Content-Type": "application/json"})
    opener = urllib.request.build_opener(_NoRedirect)
    try:
        with opener.open(request, timeout=CONNECT_SECONDS) as answer:   # an error status raises
            answer.read(ANSWER_BYTES)
    except urllib.error.HTTPError as error:
        if 300 <= error.code < 400:
            raise OSError("the receiver answered %d (a redirect to %s), not followed: not delivered; give the "
                          "address it redirects to" % (error.code, redacted(error.headers.get("Location") or "?"))) \
                from None
        raise OSError("the receiver answered %d %s: not delivered" % (error.code, error.reason)) from None


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
    shown = redacted(target)
    try:
        target = resolved(target)
    except ValueError as error:
        logger.warning("the notification was not sent: %s", error)
        return False

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
        logger.warning("the notification to %s did not go within %.0f s: given up", shown, wait)
        return False
    if outcome:
        logger.warning("the notification to %s failed: %s: %s", shown, type(outcome[0]).__name__,
                       redacted(str(outcome[0])))
        return False
    return True


ENVIRONMENT = "env:"   # --notify env:NAME: the target is the variable NAME's value, a secret kept out of every record


def resolved(target: str) -> str:
    """The target itself: ``env:NAME`` read from the environment."""
    if not target.startswith(ENVIRONMENT):
        return target
    name = target[len(ENVIRONMENT):]
    value = os.environ.get(name, "")
    if not value:
        raise ValueError("--notify %s: the environment variable %s is not set" % (target, name))
    return value


def check(target: str) -> None:
    """ValueError, before the night, for a target that is neither an
    http(s) URL with a host (and a port that is a number) nor an e-mail
    address; the message never shows a secret of it."""
    shown = redacted(target)
    target = resolved(target)
    if target.lower().startswith(("http://", "https://")):
        try:
            parts = urllib.parse.urlsplit(target)
            parts.port   # raises for a port that is no number
        except ValueError as error:
            raise ValueError("--notify %s is not a URL: %s" % (shown, error)) from None
        if not parts.hostname:
            raise ValueError("--notify %s names no host" % shown)
        return
    address = target[len("mailto:"):] if target.startswith("mailto:") else target
    name, at, domain = address.rpartition("@")
    if not at or not name or not domain or any(character.isspace() for character in address):
        raise ValueError("--notify takes an http(s) URL (a webhook), an e-mail address or env:NAME, not %r" % shown)
