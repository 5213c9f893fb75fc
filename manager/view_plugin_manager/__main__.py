"""Start the plug-in manager: waitress in one process, or gunicorn's workers, with nginx in front.

    python -m view_plugin_manager [--host HOST] [--port PORT] [--data DIR] [--token-file FILE]
                  [--workers N] [--tls-cert FILE --tls-key FILE | --behind-proxy] [--no-proxy]
                  [--max-... LIMIT]

Environment: VIEW_HOST, VIEW_PORT, VIEW_DATA, VIEW_WORKERS, VIEW_NO_PROXY and the limits'
VIEW_MAX_* variables give the defaults; VIEW_TOKEN (or VIEW_TOKEN_FILE, a file holding it) is
the operator credential, without which the server listens on loopback only; VIEW_BUILD_DIR
names the build folder that holds the compiled View package (default: build/ in the
repository).
"""
import argparse
import os
import socket
import sys

from . import access, admission, create_app, database, nginx, serving, settings
from .settings import is_set


def limit(text):
    try:
        return admission.parse_count(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from e


def parse_args(argv, environ):
    # Installed, the application runs as the command view-plugin-manager (argparse's default).
    prog = "python -m view_plugin_manager" if __name__ == "__main__" else None
    parser = argparse.ArgumentParser(prog=prog, description=__doc__.splitlines()[0])
    parser.add_argument("--host", default=environ.get("VIEW_HOST") or "127.0.0.1",
                        help="address to listen on (env VIEW_HOST, default 127.0.0.1); any "
                             "address but loopback needs an operator credential")
    parser.add_argument("--port", type=int, default=environ.get("VIEW_PORT") or "5000",
                        help="port to listen on (env VIEW_PORT, default 5000)")
    parser.add_argument("--data", default=settings.data_dir(environ),
                        help="data folder; becomes the working directory and holds plugin/, "
                             "temp/ and uploads/ (env VIEW_DATA, default data/ in the repository; "
                             "installed: in the current folder)")
    parser.add_argument("--token-file", default=None,
                        help="file holding the operator token (env VIEW_TOKEN_FILE; the token "
                             "itself may come from env VIEW_TOKEN)")
    parser.add_argument("--workers", type=int, default=environ.get("VIEW_WORKERS") or "0",
                        help="serve with gunicorn and this many worker processes, behind nginx "
                             "(env VIEW_WORKERS; default 0: waitress, one process; needs %s)"
                             % serving.WORKERS_EXTRA)
    parser.add_argument("--tls-cert", default=environ.get("VIEW_TLS_CERT") or None,
                        metavar="FILE", help="serve HTTPS with this certificate chain (PEM; env "
                                             "VIEW_TLS_CERT); needs --tls-key")
    parser.add_argument("--tls-key", default=environ.get("VIEW_TLS_KEY") or None,
                        metavar="FILE", help="the certificate's private key (PEM; env "
                                             "VIEW_TLS_KEY)")
    parser.add_argument("--behind-proxy", action="store_true",
                        default=access.behind_proxy(environ),
                        help="every client comes through a TLS proxy on this machine (env "
                             "VIEW_BEHIND_PROXY=1): Secure cookies, the client address from "
                             "X-Forwarded-For; listens on loopback only")
    parser.add_argument("--database", default=environ.get("VIEW_DATABASE") or None,
                        metavar="URL", help="keep the store's shared state in this PostgreSQL "
                        "database (postgresql://USER@HOST:PORT/NAME; env VIEW_DATABASE), so that "
                        "several nodes serve one store; default: the data folder alone")
    parser.add_argument("--node", default=environ.get("VIEW_NODE") or None, metavar="NAME",
                        help="this node's name in the fleet (env VIEW_NODE, default HOST:PORT)")
    parser.add_argument("--no-proxy", action="store_true",
                        default=is_set(environ.get("VIEW_NO_PROXY", "")),
                        help="serve with waitress alone, without starting nginx in front (env "
                             "VIEW_NO_PROXY=1; default off: nginx is started where installed, "
                             "and is needed for --workers, TLS and any address but loopback)")
    for name, (variable, flag, default, what) in admission.LIMITS.items():
        parser.add_argument(flag, dest=name, type=limit, metavar="N",
                            default=environ.get(variable) or default,
                            help="%s (env %s, default %s; K, M, G suffixes are powers of 1024)"
                                 % (what, variable, default))
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("port %d is out of range" % args.port)
    if args.workers < 0:
        parser.error("--workers must be 0 or more")
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if args.tls_cert and args.behind_proxy:
        parser.error("--behind-proxy is for a proxy that speaks TLS; --tls-cert serves it here")
    if args.no_proxy and args.behind_proxy:
        parser.error("--no-proxy and --behind-proxy contradict each other")
    for path in (args.tls_cert, args.tls_key):
        if path and not os.access(path, os.R_OK):
            parser.error("cannot read %s" % path)
    # Both servers open them after the start has changed into the data folder.
    args.tls_cert, args.tls_key = (path and os.path.abspath(path)
                                   for path in (args.tls_cert, args.tls_key))
    return args


def check_start(host, config, proxied=False):
    """Refuses to start on a configuration that would expose the store; says how it serves."""
    try:
        token = access.load_credential(config)
        notes = access.credential_warnings(config)
    except access.CredentialError as e:
        sys.exit("plug-in manager: %s" % e)
    has_credential = token is not None
    problem = access.listen_problem(host, has_credential, token, proxied)
    if problem:
        sys.exit("plug-in manager: " + problem)
    for note in notes:
        print("plug-in manager: warning: " + note, file=sys.stderr, flush=True)
    if has_credential:
        print("plug-in manager: operator token set; sign in at /signin or send "
              "'Authorization: Bearer <token>'", flush=True)
    else:
        print("plug-in manager: no operator token (VIEW_TOKEN): serving on loopback only, "
              "without sign-in", flush=True)


def app_config(args, environ):
    """The application's settings: the environment's, with what the flags say in their place,
    paths absolute (the workers start in the data folder) and every value text (the way
    gunicorn's workers read them back from their environment)."""
    config = settings.config_from_environ(environ)
    if args.token_file:
        config["VIEW_TOKEN_FILE"] = args.token_file
    config["VIEW_DATA"] = args.data
    config["VIEW_BEHIND_PROXY"] = "1" if args.behind_proxy else ""
    config["VIEW_OWN_PROXY"] = ""  # main() sets it once it knows nginx goes in front
    config["VIEW_TLS_CERT"] = args.tls_cert or ""
    config["VIEW_DATABASE"] = args.database or ""
    config["VIEW_NODE"] = args.node or "%s:%d" % (socket.gethostname(), args.port)
    for name, (variable, _, _, _) in admission.LIMITS.items():
        config[variable] = str(getattr(args, name))
    return settings.absolute_paths(config)


def main(argv=None):
    # The one place that reads the environment: the flags' defaults and the settings.
    args = parse_args(sys.argv[1:] if argv is None else argv, os.environ)
    config = app_config(args, os.environ)
    check_start(args.host, config, args.behind_proxy)
    binary = None if args.no_proxy or args.behind_proxy else nginx.find()
    # Before anything is served or a URL printed: what is missing to serve as asked.
    plan, problem = serving.choose(args.host, args.workers, bool(args.tls_cert), args.no_proxy,
                                   args.behind_proxy, binary)
    if problem:
        sys.exit("plug-in manager: " + problem)
    if plan.proxy:
        config["VIEW_OWN_PROXY"] = "1"
    try:
        # Built here even for gunicorn: a configuration error stops the start with its message,
        # and the session secret is made once, before the workers start.
        app = create_app(config)
    except (access.CredentialError, database.StartError) as e:
        sys.exit("plug-in manager: %s" % e)
    if plan.warning:
        print("plug-in manager: warning: " + plan.warning, file=sys.stderr, flush=True)
    server = ("%d gunicorn workers" % args.workers if plan.server == "gunicorn"
              else "waitress") + (" behind nginx" if plan.proxy else "")

    def announce():
        print("plug-in manager: %s://%s:%d/  (data folder: %s; %s)"
              % ("https" if args.tls_cert else "http", args.host, args.port,
                 config["VIEW_DATA"], server), flush=True)

    if plan.server == "gunicorn":
        # The workers keep the node's copy: this process's controller stops before they start.
        state = settings.shared(app)
        if state.controller is not None:
            state.controller.stop()
            state.database.close()
    serving.run(plan, app, args, config, app.config["VIEW_LIMITS"].max_upload, binary,
                announce)


if __name__ == "__main__":
    main()
