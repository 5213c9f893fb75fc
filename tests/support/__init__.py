"""What the suites share, one module per need: where the tree and the build are (paths), the
archives they upload and unpack (archives), the traceback entries they check (tracebacks), and
the state of folders before and after (snapshots). Importable from every suite: pytest puts
tests/ on the path (pyproject.toml's pythonpath)."""
