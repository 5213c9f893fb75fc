"""The one opener of the data folder's SQLite files."""
import os
import stat
import threading

import pytest

from view_plugin_manager.sqlite_files import open_sqlite, thread_connection


@pytest.mark.parametrize("any_thread", [False, True])
def test_settings_both_files_rely_on(tmp_path, any_thread):
    db = open_sqlite(str(tmp_path / "x.db"), timeout=1, any_thread=any_thread)
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    assert db.execute("PRAGMA synchronous").fetchone()[0] == 1  # NORMAL
    assert db.isolation_level is None  # autocommit: a statement stands alone
    db.execute("CREATE TABLE t (v)")
    seen = []

    def other():
        try:
            seen.append(db.execute("SELECT count(*) FROM t").fetchone()[0])
        except Exception as e:  # sqlite3.ProgrammingError: made in another thread
            seen.append(type(e).__name__)

    worker = threading.Thread(target=other)
    worker.start()
    worker.join()
    assert seen == ([0] if any_thread else ["ProgrammingError"])


def test_created_private_and_never_through_a_link(tmp_path):
    path = str(tmp_path / "s.db")
    open_sqlite(path, timeout=1, create_mode=0o600).close()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    target = tmp_path / "elsewhere.db"
    os.symlink(str(target), str(tmp_path / "link.db"))
    with pytest.raises(OSError):
        open_sqlite(str(tmp_path / "link.db"), timeout=1, create_mode=0o600)
    assert not target.exists()


def test_one_connection_per_thread(tmp_path):
    path = str(tmp_path / "t.db")
    made = []

    def opener(p):
        made.append(p)
        return open_sqlite(p, timeout=1)

    first = thread_connection(path, opener)
    assert thread_connection(path, opener) is first
    other = []
    worker = threading.Thread(target=lambda: other.append(thread_connection(path, opener)))
    worker.start()
    worker.join()
    assert other[0] is not first and len(made) == 2
