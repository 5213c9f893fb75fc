"""gunicorn's threaded worker, with deadlines on what a client sends (app.pacing).

A thread of the worker reads one request at a time, and gunicorn's own timeout is the worker's
heartbeat, not the client's: a client that sends its headers a byte at a time would hold its
thread for as long as it likes. Here each read keeps to the pacing deadlines. A connection whose
body was left unread (a refusal before the end of it, app.bodylimit) is closed instead of kept
alive, since its next bytes are no request.

    python -m gunicorn --worker-class app.gworker.Worker --threads N ...
"""
from gunicorn.workers.gthread import ThreadWorker

from . import bodylimit, pacing


class Worker(ThreadWorker):
    def handle(self, conn):
        if conn.parser is None:
            # gunicorn 24 and later make the parser in the worker thread, on the connection's
            # first request; it must exist before its socket can be paced.
            try:
                conn.init()
            except OSError:  # the client went, or its TLS hello failed
                return False
        reader = conn.parser.unreader  # what gunicorn reads requests from
        if not isinstance(reader.sock, pacing.PacedSocket):
            reader.sock = pacing.PacedSocket(reader.sock)
        reader.sock.headers()
        return ThreadWorker.handle(self, conn)

    def handle_request(self, req, conn):
        conn.parser.unreader.sock.body()
        keepalive = ThreadWorker.handle_request(self, req, conn)
        return keepalive and not bodylimit.must_close()
