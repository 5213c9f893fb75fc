"""Start the plug-in manager on Werkzeug's threaded development server.

    python -m app [--host HOST] [--port PORT] [--data DIR] [--token-file FILE]

Environment: VIEW_HOST, VIEW_PORT, VIEW_DATA give the defaults; VIEW_TOKEN (or VIEW_TOKEN_FILE,
a file holding it) is the operator credential, without which the server listens on loopback
only; VIEW_BUILD_DIR names the build folder that holds the compiled View package (default:
build/ in the repository).
"""
import argparse
import os
import sys

from . import access, create_app, default_data_dir


def parse_args(argv):
    # Installed, the application runs as the command view-plugin-manager (argparse's default).
    prog = "python -m app" if __package__ == "app" else None
    parser = argparse.ArgumentParser(prog=prog, description=__doc__.splitlines()[0])
    parser.add_argument("--host", default=os.environ.get("VIEW_HOST") or "127.0.0.1",
                        help="address to listen on (env VIEW_HOST, default 127.0.0.1); any "
                             "address but loopback needs an operator credential")
    parser.add_argument("--port", type=int, default=os.environ.get("VIEW_PORT") or "5000",
                        help="port to listen on (env VIEW_PORT, default 5000)")
    parser.add_argument("--data", default=default_data_dir(),
                        help="data folder; becomes the working directory and holds plugin/, "
                             "temp/ and uploads/ (env VIEW_DATA, default data/ in the repository; "
                             "installed: in the current folder)")
    parser.add_argument("--token-file", default=None,
                        help="file holding the operator token (env VIEW_TOKEN_FILE; the token "
                             "itself may come from env VIEW_TOKEN)")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error("port %d is out of range" % args.port)
    return args


def check_start(host):
    """Refuses to start on a configuration that would expose the store; says how it serves."""
    try:
        has_credential = access.load_credential() is not None
        notes = access.credential_warnings()
    except access.CredentialError as e:
        sys.exit("plug-in manager: %s" % e)
    problem = access.listen_problem(host, has_credential)
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


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.token_file:
        os.environ["VIEW_TOKEN_FILE"] = os.path.abspath(args.token_file)
    check_start(args.host)
    data = os.path.abspath(args.data)
    try:
        app = create_app(data)
    except access.CredentialError as e:
        sys.exit("plug-in manager: %s" % e)
    print("plug-in manager: http://%s:%d/  (data folder: %s)" % (args.host, args.port, data),
          flush=True)
    app.run(host=args.host, port=args.port, threaded=True, debug=False, use_reloader=False,
            request_handler=access.ServerHandler)


if __name__ == "__main__":
    main()
