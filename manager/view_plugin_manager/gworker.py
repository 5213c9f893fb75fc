"""gunicorn's threaded worker, with deadlines on what a client sends (app.pacing).

A thread of the worker reads one request at a time, and gunicorn's own timeout is the worker's
heartbeat, not the client's: a client that sends its headers a byte at a time would hold its
thread for as long as it likes. Here each read keeps to the pacing deadlines, and so does a TLS
handshake. A connection whose body was left unread (a refusal before the end of it,
app.bodylimit) is closed instead of kept alive, since its next bytes are no request.

gunicorn 20 to 23 make a connection's parser in the worker's main loop and hand it to a thread
once the client has sent something; 24 and later make it in the thread, after waiting there for
the first bytes, and close connections in the main loop, lingering up to 2 s for each client
that does not hang up: the parser is paced as soon as it exists either way. A connection that
ends lingers and is closed here, in its thread, on every version, and the main loop's own close
of it does nothing: a client that goes on sending after its answer would otherwise stop the
loop that accepts and answers everyone else (the operator's listing waited 2 s behind each).

    python -m gunicorn --worker-class app.gworker.Worker --threads N ...
"""
import selectors
import socket
import time

from gunicorn.workers import gthread
from gunicorn.workers.gthread import ThreadWorker

from . import bodylimit, pacing

# What a closing client is given to read its answer and hang up.
LINGER_SECONDS = 2
LINGER_BYTES = 64 * 1024
# 24+: what hands a connection back to the main loop, to wait there for its client.
_DEFER = getattr(gthread, "_DEFER", None)


def _pace(conn, since=None):
    reader = conn.parser.unreader  # what gunicorn reads requests from
    if not isinstance(reader.sock, pacing.PacedSocket):
        reader.sock = pacing.PacedSocket(reader.sock)
    reader.sock.headers(since)


def _pace_when_made(conn):
    """Paces the parser that conn.init() makes, in the thread, on gunicorn 24+: the TLS
    handshake in it counts against the header deadline."""
    make = conn.init

    def init():
        started = time.monotonic()
        conn.sock.settimeout(pacing.HEADER_SECONDS)  # a handshake that stalls ends
        make()
        _pace(conn, started)

    conn.init = init


def _linger(sock):
    """Sends the end of the answer and reads what the client still sends, for a little while,
    so that the kernel does not reset the connection before the client has read the answer."""
    try:
        sock.shutdown(socket.SHUT_WR)
        deadline, drained = time.monotonic() + LINGER_SECONDS, 0
        while drained < LINGER_BYTES:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            sock.settimeout(left)
            data = sock.recv(4096)
            if not data:
                break
            drained += len(data)
    except OSError:  # the time is up, the client went, or the socket is closed already
        pass


def _closed(graceful=False):
    """What is left of TConn.close once the thread has closed the connection itself."""


def _end(conn):
    """Closes a connection that is done, in its thread, after lingering. A client still
    sending then gets a reset at once: what is left unread, or what arrives after, resets it.
    (Shutting only the reading side instead, for the main loop to close, left it probing a
    closed window for seconds.)"""
    _linger(conn.sock)
    try:
        conn.sock.close()
    except OSError:
        pass
    conn.close = _closed


def _silent(conn):
    """Whether a connection that no thread has served yet has sent nothing. gunicorn 20 to 22
    hand every new connection to a thread, 24+ hand it one that waits there up to 5 s for the
    first bytes: either way a few connections that send nothing took every thread, and the
    operator's waited behind them. Such a one waits in the main loop instead, as 23 does by
    itself, and is dropped after the keep-alive time."""
    if vars(conn).setdefault("served", False):
        return False
    conn.served = True
    if getattr(conn, "data_ready", False) or getattr(conn.sock, "pending", lambda: 0)():
        return False
    with selectors.DefaultSelector() as ready:
        try:
            ready.register(conn.sock, selectors.EVENT_READ)
            return not ready.select(0)
        except (OSError, ValueError):  # closed already: a thread finds out
            return False


def _closing(result):
    """Whether ThreadWorker.handle's answer ends the connection: 20 to 23 answer
    (keep-alive, conn), 24 and later False (True to keep it, or a marker to wait for it)."""
    return result is False or (isinstance(result, tuple) and not result[0])


class Worker(ThreadWorker):
    def load_wsgi(self):
        ThreadWorker.load_wsgi(self)
        pacing.compile_pages(self.wsgi)

    def handle(self, conn):
        if _silent(conn):  # 20 to 23 wait in the main loop for a kept-alive one
            return (True, conn) if _DEFER is None else _DEFER
        if conn.parser is not None:
            _pace(conn)
        elif "init" not in vars(conn):  # 24+, once: a connection may come back unparsed
            _pace_when_made(conn)
        result = ThreadWorker.handle(self, conn)
        if _closing(result):
            _end(conn)
        return result

    def handle_request(self, req, conn):
        conn.parser.unreader.sock.body()
        keepalive = ThreadWorker.handle_request(self, req, conn)
        return keepalive and not bodylimit.must_close()
