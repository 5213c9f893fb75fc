"""How long a client may take to send its request: the socket side of the slow-client defence.

A request's headers must all arrive within HEADER_SECONDS of the moment the server starts to
wait for them, and no single read waits more than READ_TIMEOUT_SECONDS. Its body must keep
coming at MIN_BODY_RATE: every second the server waits for it costs a second of slack, every
MIN_BODY_RATE bytes that arrive earn one back, and the slack never exceeds BODY_SLACK_SECONDS,
which is also what a body starts with. A body cannot bank what it sent fast early on to trickle
later, so one below the rate is cut within BODY_SLACK_SECONDS of falling below it, while an
upload at 100 KB/s, 25 times the rate, may pause for as long without harm. Only time spent
waiting for the client counts: a server that is slow to read (a busy disk) does not use up a
client's slack. A client past any of these is treated as one that hung up: the server's reads
see the end of the stream, and the connection is closed; headers cut off by their deadline are
never served as a request, however complete they look. A client that dribbles a byte now and
then thus holds its thread for seconds, not for as long as it likes.
"""
import io
import socket
import ssl
import time

HEADER_SECONDS = 10
READ_TIMEOUT_SECONDS = 10
BODY_SLACK_SECONDS = 5
MIN_BODY_RATE = 4096  # bytes a second
# What one read of a request asks the socket for. The body parser asks for 64 KiB at a time;
# read straight from the socket that is one recv of whatever has arrived, often much less, each
# with two timeout changes around it: a 33 MB upload took about a thousand. A read asks for what
# the socket holds, up to this, and serves the parser from it. The buffer's pages are only
# touched by bytes that arrive, so an idle connection does not hold it.
READ_BUFFER = 256 * 1024


class PacedSocket:
    """A connected socket whose reads keep to the deadlines above."""

    def __init__(self, sock):
        self._sock = sock
        self._deadline = None
        self._slack = None  # seconds the body may still lag behind MIN_BODY_RATE
        self.headers()

    def headers(self, since=None):
        """The server waits for a request's headers from now on (or from `since`, a
        time.monotonic() value)."""
        self._deadline = (time.monotonic() if since is None else since) + HEADER_SECONDS
        self._slack = None
        self.cut_off = False  # a read of these headers ran past their deadline

    def body(self):
        """The headers are in: the body may take long, as long as it keeps coming."""
        self._deadline = None
        self._slack = BODY_SLACK_SECONDS
        self._sock.settimeout(READ_TIMEOUT_SECONDS)  # also bounds writing the answer

    def _wait(self):
        if self._deadline is not None:
            return min(self._deadline - time.monotonic(), READ_TIMEOUT_SECONDS)
        if self._slack is not None:
            return min(self._slack, READ_TIMEOUT_SECONDS)
        return READ_TIMEOUT_SECONDS

    def _read(self, call, *args):
        """What `call` returns, or None past a deadline; a body's slack pays for the wait."""
        wait = self._wait()
        if wait <= 0:
            self.cut_off = self._deadline is not None
            return None
        self._sock.settimeout(wait)
        started = time.monotonic()
        try:
            result = call(*args)
        except socket.timeout:
            result = None
            self.cut_off = self._deadline is not None
        finally:
            self._sock.settimeout(READ_TIMEOUT_SECONDS)
        if self._slack is not None:
            got = len(result) if isinstance(result, bytes) else result or 0
            self._slack = min(BODY_SLACK_SECONDS, self._slack - (time.monotonic() - started)
                              + got / MIN_BODY_RATE)
        return result

    def recv(self, size, *flags):
        data = self._read(self._sock.recv, size, *flags)
        return b"" if data is None else data

    def recv_into(self, buffer, *args):
        count = self._read(self._sock.recv_into, buffer, *args)
        return 0 if count is None else count

    def __getattr__(self, name):
        return getattr(self._sock, name)


class Reader(io.RawIOBase):
    """A raw file over a PacedSocket, for servers that read their requests from a file."""

    def __init__(self, paced):
        io.RawIOBase.__init__(self)
        self._paced = paced

    def readable(self):
        return True

    def readinto(self, buffer):
        try:
            return self._paced.recv_into(buffer)
        except (ConnectionError, OSError):
            return 0


class LazyHandshake(ssl.SSLContext):
    """A server context whose connections shake hands on their first read, in the thread that
    serves them under the deadlines above, rather than in accept(), where one client that never
    finishes its hello would stop a server's accepting loop."""

    def wrap_socket(self, sock, *args, **kwargs):
        kwargs["do_handshake_on_connect"] = False
        return ssl.SSLContext.wrap_socket(self, sock, *args, **kwargs)


def server_context(cert, key):
    context = LazyHandshake(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def compile_pages(app):
    """Compiles the application's own templates before its server takes a connection. A
    process's first page otherwise compiles them while it answers: 0.1 s here, seconds on a
    loaded machine or under a sanitizer, and the operator's request that reached a fresh
    gunicorn worker in the middle of a slow-client attack waited for all of it."""
    loader = getattr(app, "jinja_loader", None)
    if loader is not None:
        for name in loader.list_templates():
            app.jinja_env.get_template(name)
