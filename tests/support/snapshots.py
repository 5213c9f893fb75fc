"""The state of folders, to compare before and after a change, and the readers behind it."""
import os
import sqlite3

# The store's folders below its data folder: what a refused or failed change must leave alone.
STORE_FOLDERS = ("plugin", "temp", "uploads", ".previous", ".staging")


def read_file(path, size=-1):
    with open(path, "rb") as f:
        return f.read(size)


def snapshot(root, skip=(), stat=False):
    """Every entry below `root` by its path relative to it: ("dir",), ("link", target),
    ("file", content) or ("special", mode); with `stat`, also its mode and modification time,
    so that a rewrite with the same content shows too. `skip`: subtrees left out, relative to
    root or absolute."""
    root = os.path.abspath(str(root))
    skip = [os.path.normpath(os.path.join(root, str(path))) for path in skip]
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            full = os.path.join(folder, name)
            if any(full == s or full.startswith(s + os.sep) for s in skip):
                continue
            st = os.lstat(full)
            if os.path.islink(full):
                entry = ("link", os.readlink(full))
            elif os.path.isdir(full):
                entry = ("dir",)
            elif os.path.isfile(full):
                entry = ("file", read_file(full))
            else:
                entry = ("special", st.st_mode)
            found[os.path.relpath(full, root)] = entry + ((st.st_mode, st.st_mtime_ns)
                                                          if stat else ())
    return found


def files_of(folder):
    """What a folder holds apart from its folders: a file's content by its relative path, and
    anything else (a link, a device) as its snapshot entry."""
    return {rel: entry[1] if entry[0] == "file" else entry
            for rel, entry in snapshot(folder).items() if entry[0] != "dir"}


def all_files(folder):
    """The relative paths of everything below `folder` but its folders, sorted."""
    return sorted(files_of(folder))


def store_state(data):
    """What a refused or failed change must leave as it was: every entry of the store's folders
    with its content, the kept previous generations, and the record of what is installed."""
    data = str(data)
    entries = {os.path.join(top, rel): entry for top in STORE_FOLDERS
               for rel, entry in snapshot(os.path.join(data, top)).items()}
    rows = []
    record = os.path.join(data, "record.sqlite3")
    if os.path.exists(record):
        db = sqlite3.connect(record)
        try:
            rows = [sorted(db.execute("SELECT * FROM %s" % table).fetchall())
                    for table in ("installed", "previous", "pending")]
        finally:
            db.close()
    return entries, rows
