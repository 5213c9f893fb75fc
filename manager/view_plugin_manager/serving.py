"""How the command serves the application: waitress in one process, or gunicorn's own threaded
workers for several, with nginx in front wherever the edge needs it.

- waitress reads each request whole on its event loop before a thread serves it, so a slow or
  silent client costs a socket, not a thread; its limits cap headers and bodies.
- gunicorn's stock `gthread` workers serve several processes; a thread of theirs reads its
  client's request itself, so they always stand behind nginx, which buffers requests.
- nginx (nginx.py) is the edge on any address but loopback, for TLS, for gunicorn, and on
  loopback wherever it is installed: it alone can ask whether an upload's client has signed in
  before it reads the upload's body, where waitress reads the body whole first.

The command's nginx listens on the public address and the manager on a Unix socket in a private
folder that only nginx and the manager can reach; both are stopped with the command.
"""
import ctypes
import functools
import grp
import importlib.util
import os
import pwd
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from collections import namedtuple

from . import nginx
from .access import is_loopback_host

# Threads that run the application: per process for waitress, per worker for gunicorn. The
# listing and the store's work take the processor, not the network, so a few are enough.
THREADS = 8
# gunicorn's heartbeat: a worker silent for this long is stuck and is restarted.
WORKER_TIMEOUT_SECONDS = 60
KEEP_ALIVE_SECONDS = 5
# waitress on its own: a connection that sends nothing for this long is closed, as a read of
# today's server waited no longer.
IDLE_SECONDS = 10
HEADER_BYTES = 32 * 1024
# What waitress asks of a socket at a time: its default of 8 KiB costs a pass of its event loop
# per 8 KiB, and 64 MB took 0.3 s to receive on loopback, against 0.07 s with this.
RECV_BYTES = 256 * 1024
START_SECONDS = 30
RUN_PREFIX = "view-plugin-manager-"
WORKERS_EXTRA = "pip install 'view-plugin-manager[workers]'"
NGINX_PACKAGE = "apt-get install nginx-light"

Plan = namedtuple("Plan", "server proxy warning")
Plan.__doc__ = """server: "waitress" or "gunicorn"; proxy: True when the command starts nginx in
front; warning: what the operator should hear about how it serves, or None."""


def has_gunicorn():
    return importlib.util.find_spec("gunicorn") is not None


def choose(host, workers, tls, no_proxy, behind_proxy, nginx_binary):
    """(Plan, None), or (None, why the command cannot serve so)."""
    server = "gunicorn" if workers else "waitress"
    if workers and not has_gunicorn():
        return None, ("--workers needs gunicorn, which is not installed: %s (or leave out "
                      "--workers to serve with one process)" % WORKERS_EXTRA)
    if behind_proxy:  # the operator's own proxy is in front
        return Plan(server, False, None), None
    if no_proxy:
        if workers:
            return None, ("--workers needs a buffering proxy in front of gunicorn: leave out "
                          "--no-proxy to have nginx started, or put your own nginx in front "
                          "and use --behind-proxy")
        if tls:
            return None, ("TLS is served by nginx: leave out --no-proxy, or put your own proxy "
                          "in front and use --behind-proxy")
        return Plan(server, False, None), None
    if nginx_binary:
        return Plan(server, True, None), None
    needs = [what for what, needed in (
        ("--workers", workers), ("TLS", tls),
        ("listening on %r, which is not loopback" % host, not is_loopback_host(host)))
        if needed]
    if needs:
        return None, ("%s needs nginx in front, and there is none on this machine: install it "
                      "(%s), or%s serve without a proxy with --no-proxy (env VIEW_NO_PROXY=1)"
                      % (" and ".join(needs), NGINX_PACKAGE,
                         "" if workers or tls else ","))
    return Plan(server, False,
                "nginx is not installed (%s): waitress alone reads a request's body whole, up "
                "to --max-upload, before the manager can refuse a client that has not signed in"
                % NGINX_PACKAGE), None


def _die_with_parent():
    # A child of the command ends with it, even when the command is killed outright: an
    # orphaned nginx would keep the port.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


# The command's children: a session of their own, so that Ctrl-C in a terminal reaches the
# command alone, which stops them in order; and ended with the command however it ends.
CHILD = {"start_new_session": True, "preexec_fn": _die_with_parent}


def _raise_open_files():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = hard if hard != resource.RLIM_INFINITY else 65536
    if soft != resource.RLIM_INFINITY and soft < want:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
        except (ValueError, OSError):
            return soft
    return want


def _worker_user():
    """nginx's workers run as this user and group when the command runs as root, else None."""
    if os.geteuid() != 0:
        return None
    user = pwd.getpwnam("nobody")
    return user, grp.getgrgid(user.pw_gid).gr_name


def _wait_until(ready, procs, what):
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        if ready():
            return
        for proc in procs:
            if proc.poll() is not None:
                raise StartError("%s stopped at its start (exit status %s; its messages are "
                                 "above)" % (what, proc.returncode))
        time.sleep(0.05)
    raise StartError("%s did not start within %d s" % (what, START_SECONDS))


def _connects(address):
    family = socket.AF_UNIX if isinstance(address, str) else (
        socket.AF_INET6 if ":" in address[0] else socket.AF_INET)
    try:
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.settimeout(1)
            s.connect(address)
        return True
    except OSError:
        return False


def _pid_in(path):
    try:
        with open(path) as f:
            return int(f.read().strip() or 0)
    except (OSError, ValueError):
        return None


def _sweep_run_dirs():
    """Removes the private folders of commands that were killed outright (their own end
    removes them), so that kill -9 does not leave them to pile up."""
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        path = os.path.join(base, name)
        if not name.startswith(RUN_PREFIX) or not os.path.isdir(path) \
                or os.stat(path).st_uid != os.geteuid():
            continue
        pid = _pid_in(os.path.join(path, "command.pid"))
        if pid is None:
            # Made a moment ago by a command that has yet to write its pid, or left broken.
            if time.time() - os.stat(path).st_mtime < 60:
                continue
        else:
            try:
                os.kill(pid, 0)
                continue  # that command still runs
            except ProcessLookupError:
                pass
            except PermissionError:
                continue
        shutil.rmtree(path, ignore_errors=True)


class StartError(Exception):
    """The servers could not start; the message says why."""


class Servers(object):
    """The processes that serve: started by start(), all stopped by stop()."""

    def __init__(self, plan, args, config, max_upload, nginx_binary=None):
        self.plan, self.args, self.config = plan, args, config
        self.max_upload, self.nginx_binary = max_upload, nginx_binary
        self.procs, self.run_dir = [], None
        self.waitress = self.make_waitress = None
        self.names = {}  # process id: what it is, for the message when it stops
        self.failed = self.stopping = False

    def start(self, app):
        files = _raise_open_files()
        host, port = self.args.host, self.args.port
        if not self.plan.proxy:
            bind = (host.strip("[]"), port)
        else:
            _sweep_run_dirs()
            self.run_dir = tempfile.mkdtemp(prefix=RUN_PREFIX)
            with open(os.path.join(self.run_dir, "command.pid"), "w") as f:
                f.write(str(os.getpid()))
            worker = _worker_user()
            if worker:  # root: nginx's workers reach the socket through the folder's group
                os.chown(self.run_dir, -1, worker[0].pw_gid)
                os.chmod(self.run_dir, 0o750)
            bind = os.path.join(self.run_dir, "manager.sock")
        # The manager first, nginx after it: nginx answers 502 until the manager listens.
        if self.plan.server == "gunicorn":
            self._start_gunicorn(bind)
        else:
            self._start_waitress(app, bind, files)
        if self.plan.proxy:
            self._start_nginx(host, port, "unix:" + bind,
                              worker and "%s %s" % (worker[0].pw_name, worker[1]))

    def _start_nginx(self, host, port, upstream, worker_user):
        tls = (self.args.tls_cert, self.args.tls_key) if self.args.tls_cert else None
        text = nginx.site([(host, port)], [upstream], self.max_upload, tls,
                          request_buffering=self.plan.server == "gunicorn")
        main = nginx.write(self.run_dir, text, worker_user)
        proc = subprocess.Popen(nginx.command(self.nginx_binary, self.run_dir, main),
                                stdin=subprocess.DEVNULL, **CHILD)
        self.procs.append(proc)
        self.names[proc.pid] = "nginx"
        # nginx writes its pid file once it listens: a connection could reach another server
        # on the port, which this nginx then fails to take.
        pid_file = os.path.join(self.run_dir, "nginx.pid")
        _wait_until(lambda: _pid_in(pid_file) == proc.pid, [proc], "nginx")

    def _start_gunicorn(self, bind):
        env = dict(os.environ)
        env.update(self.config)
        package = __name__.rpartition(".")[0]
        where = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [where, env.get("PYTHONPATH")]))
        address = "unix:" + bind if isinstance(bind, str) else nginx.listen_address(*bind)
        proc = subprocess.Popen([
            sys.executable, "-m", "gunicorn", "--workers", str(self.args.workers),
            "--worker-class", "gthread", "--threads", str(THREADS),
            "--keep-alive", str(KEEP_ALIVE_SECONDS), "--timeout", str(WORKER_TIMEOUT_SECONDS),
            "--bind", address, "--chdir", self.config["VIEW_DATA"],
            "%s.wsgi:application" % package], env=env, stdin=subprocess.DEVNULL, **CHILD)
        self.procs.append(proc)
        self.names[proc.pid] = "gunicorn"
        _wait_until(lambda: _connects(bind), [proc], "gunicorn")

    def _start_waitress(self, app, bind, files):
        from waitress import create_server

        if isinstance(bind, str):
            # Bound here, so that the socket listens (its connections wait in the backlog)
            # before nginx starts, and before waitress starts its threads.
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.bind(bind)
            os.chmod(bind, 0o666)  # the private folder is what keeps others out
            sock.listen(1024)
            where = {"sockets": [sock]}
        else:
            where = {"listen": nginx.listen_address(*bind)}
        self.make_waitress = functools.partial(
            create_server,
            app, threads=THREADS, ident="plug-in-manager", backlog=1024, recv_bytes=RECV_BYTES,
            # poll(), not select(): select() cannot wait on a socket past the 1024th.
            asyncore_use_poll=True, connection_limit=max(100, files - 64),
            channel_timeout=IDLE_SECONDS, cleanup_interval=1,
            max_request_header_size=HEADER_BYTES,
            max_request_body_size=self.max_upload + nginx.FORM_FRAMING,
            # The application judges X-Forwarded-For itself, from its own proxy only.
            clear_untrusted_proxy_headers=False, **where)
        if not isinstance(bind, str):
            self.waitress = self.make_waitress()  # binds the public address now, or fails

    def serve(self):
        """Serves until the command is told to stop, or one of its servers stops."""
        for proc in self.procs:
            threading.Thread(target=self._watch, args=(proc,), daemon=True).start()
        if self.make_waitress is not None:
            if self.waitress is None:
                self.waitress = self.make_waitress()
            self.waitress.run()
        else:
            while not self.failed:
                time.sleep(0.5)

    def _watch(self, proc):
        proc.wait()
        if not self.stopping:
            self.failed = True
            print("plug-in manager: %s stopped (exit status %s); stopping"
                  % (self.names[proc.pid], proc.returncode), file=sys.stderr, flush=True)
            os.kill(os.getpid(), signal.SIGTERM)

    def stop(self):
        self.stopping = True
        if self.waitress is not None:
            self.waitress.close()
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if self.run_dir:
            shutil.rmtree(self.run_dir, ignore_errors=True)


def _stop_on_signal(signum, frame):
    raise SystemExit(0)


def run(plan, app, args, config, max_upload, nginx_binary, announce):
    """Starts the servers, calls `announce()` once they all answer, and serves until stopped."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _stop_on_signal)
    servers = Servers(plan, args, config, max_upload, nginx_binary)
    try:
        try:
            servers.start(app)
            announce()
            servers.serve()
        finally:
            servers.stop()
    except StartError as e:
        sys.exit("plug-in manager: %s" % e)
    except (KeyboardInterrupt, SystemExit):
        pass  # told to stop, or one of the servers stopped (failed says which)
    if servers.failed:
        sys.exit(1)
