"""Walkers over traceback entries, outermost first."""

# The native modules' traceback entries name their file with two backslashes, as on Windows.
NATIVE_FILES = {"file": r"View\\file.py", "scheduler": r"View\\scheduler.py"}


def entries(exc, skip_file=None):
    """(name, file, line) of each entry of `exc` (an exception or a traceback), without those
    of `skip_file`. Self-contained: the frame tests' snippets run its source."""
    found, tb = [], getattr(exc, "__traceback__", exc)
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename != skip_file:
            found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


def native_entries(exc, module=None):
    """(name, line) of the entries that the native modules added, of View.`module` alone when
    it is given ("file" or "scheduler")."""
    files = [NATIVE_FILES[module]] if module else list(NATIVE_FILES.values())
    return [(name, line) for name, file, line in entries(exc) if file in files]
