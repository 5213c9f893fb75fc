"""How long a client may take to send its request: the socket side of the slow-client defence.

A request's headers must all arrive within HEADER_SECONDS of the moment the server starts to
wait for them; its body may take long, but after BODY_GRACE_SECONDS it must have come at
MIN_BODY_RATE on average; and no single read waits more than READ_TIMEOUT_SECONDS. A client
past any of these is treated as one that hung up: the server's reads see the end of the stream,
and the connection is closed. A client that dribbles a byte now and then thus holds its thread
for seconds, not for as long as it likes.
"""
import io
import socket
import ssl
import time

HEADER_SECONDS = 10
READ_TIMEOUT_SECONDS = 10
BODY_GRACE_SECONDS = 10
MIN_BODY_RATE = 4096  # bytes a second


class PacedSocket:
    """A connected socket whose reads keep to the deadlines above."""

    def __init__(self, sock):
        self._sock = sock
        self._deadline = None
        self._body_start = None
        self._received = 0
        self.headers()

    def headers(self):
        """The server waits for a request's headers from now on."""
        self._deadline = time.monotonic() + HEADER_SECONDS
        self._body_start = None

    def body(self):
        """The headers are in: the body may take long, as long as it keeps coming."""
        self._deadline = None
        self._body_start, self._received = time.monotonic(), 0
        self._sock.settimeout(READ_TIMEOUT_SECONDS)  # also bounds writing the answer

    def _wait(self):
        now, wait = time.monotonic(), READ_TIMEOUT_SECONDS
        if self._deadline is not None:
            wait = self._deadline - now
        elif self._body_start is not None:
            due = self._body_start + BODY_GRACE_SECONDS + self._received / MIN_BODY_RATE
            wait = due - now
        return min(wait, READ_TIMEOUT_SECONDS)

    def _read(self, call, *args):
        wait = self._wait()
        if wait <= 0:
            return None
        self._sock.settimeout(wait)
        try:
            return call(*args)
        except socket.timeout:
            return None
        finally:
            self._sock.settimeout(READ_TIMEOUT_SECONDS)

    def recv(self, size, *flags):
        data = self._read(self._sock.recv, size, *flags)
        if data is None:
            return b""
        self._received += len(data)
        return data

    def recv_into(self, buffer, *args):
        count = self._read(self._sock.recv_into, buffer, *args)
        if count is None:
            return 0
        self._received += count
        return count

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
