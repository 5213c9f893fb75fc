"""The store's lock: one lock file in the data folder, held around every operation on it.

Uploads and removals hold it exclusively, listings shared, so a listing never shows an archive
that is being unpacked and two changes never interleave, whether they run on threads of one
server or in several worker processes on the same data folder. Each acquisition opens the file
anew: flock belongs to the open file description, so two threads sharing one descriptor would
not exclude each other.
"""
import contextlib
import fcntl
import os

LOCK_FILE = ".store.lock"


@contextlib.contextmanager
def store_lock(data, exclusive):
    fd = os.open(os.path.join(data, LOCK_FILE), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH)
        yield
    finally:
        os.close(fd)  # releases the lock with the description
