"""One message when a run ends, against receivers on 127.0.0.1 that the
tests start: a webhook that accepts, fails or hangs, and a mail sink. A
notifier that fails or hangs never changes a run's outcome."""
import contextlib
import http.server
import json
import socketserver
import threading
import time

import pytest

from dralvex_computer.batch.results import notify
from batch_helpers import command, make_model, site_options


class Webhook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        self.server.received.append(json.loads(body))
        if self.server.mode == "hang":
            time.sleep(30)
        if self.server.mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "/elsewhere")
            self.end_headers()
            return
        self.send_response(500 if self.server.mode == "fail" else 200)
        self.end_headers()

    def do_GET(self):   # what a followed redirect would send: the message's body lost
        self.server.received.append(None)
        self.send_response(200)
        self.end_headers()

    def log_message(self, *arguments):
        pass


class MailSink(socketserver.StreamRequestHandler):
    """Just enough SMTP to take a message."""

    def handle(self):
        self.wfile.write(b"220 sink\r\n")
        in_data, lines = False, []
        for raw in self.rfile:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            if in_data:
                if line == ".":
                    in_data = False
                    self.server.received.append("\n".join(lines))
                    self.wfile.write(b"250 taken\r\n")
                else:
                    lines.append(line)
                continue
            verb = line[:4].upper()
            if verb == "DATA":
                in_data = True
                self.wfile.write(b"354 go on\r\n")
            elif verb == "QUIT":
                self.wfile.write(b"221 bye\r\n")
                return
            else:
                self.wfile.write(b"250 ok\r\n")


@contextlib.contextmanager
def receiver(kind, mode="accept"):
    server_class = http.server.ThreadingHTTPServer if kind == "webhook" else socketserver.ThreadingTCPServer
    server = server_class(("127.0.0.1", 0), Webhook if kind == "webhook" else MailSink)
    server.daemon_threads = True
    server.received, server.mode = [], mode
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()


CONTENT = notify.message([{"item": "a.strale", "status": "solved"}, {"item": "b.strale", "status": "failed"}],
                         "nightly", False, "/night/page.html", "python -m dralvex_computer solve ...")


@pytest.mark.parametrize("mode,sent", [("accept", True), ("fail", False), ("hang", False)])
def test_a_webhook_that_accepts_fails_or_hangs(mode, sent):
    with receiver("webhook", mode) as server:
        started = time.monotonic()
        assert notify.send("http://127.0.0.1:%d/hook" % server.server_address[1], CONTENT, wait=1.5) is sent
        assert time.monotonic() - started < 3
        assert len(server.received) == 1 and server.received[0]["text"] == "nightly: 1 failed, 1 solved"


def test_an_email_and_nobody_listening():
    with receiver("mail") as sink:
        assert notify.send("mailto:night@example.com", CONTENT, "127.0.0.1:%d" % sink.server_address[1])
        message, = sink.received
        assert "Subject: nightly: 1 failed, 1 solved" in message and "/night/page.html" in message
        port = sink.server_address[1]
    assert notify.send("night@example.com", CONTENT, "127.0.0.1:%d" % port, wait=3) is False


@pytest.mark.parametrize("target", ["nobody", "ftp://host/x", "two words@x"])
def test_a_target_that_is_neither_a_url_nor_an_address(target):
    with pytest.raises(ValueError):
        notify.check(target)


@pytest.mark.parametrize("mode", ["accept", "fail"])
def test_the_command_sends_one_message_and_keeps_its_exit_status(ready, tmp_path, mode):
    model = make_model(tmp_path / "models" / "one", "one")
    with receiver("webhook", mode) as server:
        result = command("solve", *site_options(ready), "--solver", "PipeStress", "--title", "tonight",
                         "--summary", str(tmp_path / "page.html"),
                         "--notify", "http://127.0.0.1:%d/" % server.server_address[1], model)
    assert result.returncode == 0, result.stderr
    message, = server.received
    assert message["text"] == "tonight: 1 solved" and message["page"] == str(tmp_path / "page.html")
    assert ("notification" in result.stderr) is (mode == "fail")
