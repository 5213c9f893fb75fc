"""The plug-in store as a transaction: staged, verified installs, replacements, rollbacks and
removals that leave plugin/ either as it was or with the change whole, whatever fails or is
killed, and a record (record.py) that agrees with the folders.

Where things are, all in the data folder (one file system, so every step is a rename):
- plugin/<name>: the installed plug-ins, and nothing else;
- .staging/<tx>/: one change in progress, locked (flock on the folder) by the process that owns
  it: the archive's tar stream as it arrives (archive.tar), the unpacked tree (tree/<name>), and
  what a change moves aside before it is deleted;
- .previous/<name>: the generation a replace moved aside, which a rollback puts back.

An upload is verified while it arrives: the gzip stream is inflated as it is received, with its
CRC and length checked by zlib, the SHA-256 of what was sent taken on the way, and the tar
headers scanned so that an archive that expands past a limit is refused early; the tar stream is
written once, uncompressed, so that reading its headers and unpacking it seek cheaply instead of
inflating it again. The unpacked tree goes in place with one rename (an exchange with the old
tree, for a replace), between a "pending" row that says what is about to happen and the record
update that says it happened; a start after a kill reads the pending rows and finishes or undoes
each change (the inode of the folder in place tells which).
"""
import ctypes
import errno
import fcntl
import hashlib
import logging
import os
import secrets
import stat
import time
import zlib
from contextlib import contextmanager

from . import admission
from .admission import GZIP_TAR, Refusal, size_text
from .record import Record, nfc
from .store_lock import store_lock

STAGING = ".staging"
PREVIOUS = ".previous"
PLAIN = "archive.tar"
CHUNK = 1 << 20
EXTENDED = frozenset(admission.EXTENDED_TYPES)
# Types whose header is followed by data, as tarfile reads them: regular files and any type
# it does not know; the other known types carry none.
NO_DATA = frozenset(b"123456"[i:i + 1] for i in range(6))
log = logging.getLogger("app.store")


def new_tx():
    return "%x-%s" % (int(time.time()), secrets.token_hex(6))


def staging_root(data):
    return os.path.join(data, STAGING)


@contextmanager
def staged(data):
    """A new staging folder, locked while the change that uses it lives; removed after."""
    # A worker that starts sweeps every staging folder nobody holds: one made here but not yet
    # locked may go in between, so a folder counts only once it is locked and still there.
    for _ in range(10):
        tx = new_tx()
        folder = os.path.join(staging_root(data), tx)
        os.makedirs(folder)
        try:
            fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except FileNotFoundError:
            continue
        fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            if os.path.samestat(os.fstat(fd), os.stat(folder)):
                break
        except FileNotFoundError:
            pass
        os.close(fd)
    else:
        raise OSError("could not make a staging folder in %s" % staging_root(data))
    try:
        yield tx, folder
    finally:
        try:
            remove_tree(folder)
        finally:
            os.close(fd)


# --- renames ---------------------------------------------------------------------------------

_libc = ctypes.CDLL(None, use_errno=True)
_renameat2 = getattr(_libc, "renameat2", None)
if _renameat2 is not None:
    _renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                           ctypes.c_uint]
AT_FDCWD = -100
RENAME_EXCHANGE = 2


def exchange(a, b, aside):
    """Swaps the trees at a and b in one step (renameat2 RENAME_EXCHANGE). Where the system
    cannot, b goes to `aside`, a to b, and `aside` to a: a start after a kill between them
    finds the old tree at `aside` (see Store.settle)."""
    if _renameat2 is not None:
        if _renameat2(AT_FDCWD, os.fsencode(a), AT_FDCWD, os.fsencode(b), RENAME_EXCHANGE) == 0:
            return
        code = ctypes.get_errno()
        if code not in (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP):
            raise OSError(code, os.strerror(code), a, None, b)
    os.rename(b, aside)
    os.rename(a, b)
    os.rename(aside, a)


def remove_tree(path):
    """Deletes a tree of any depth: no recursion, one directory descriptor open at a time,
    names relative to it (so no path grows past PATH_MAX); symbolic links are not followed."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISDIR(info.st_mode):
        os.unlink(path)
        return
    flags = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
    fd, names = os.open(path, flags), []
    try:
        while True:
            sub = None
            with os.scandir(fd) as entries:
                for entry in entries:
                    if entry.is_dir(follow_symlinks=False):
                        sub = entry.name
                        break
                    os.unlink(entry.name, dir_fd=fd)
            if sub is not None:
                child = os.open(sub, flags, dir_fd=fd)
                os.close(fd)
                fd = child
                names.append(sub)
                continue
            if not names:
                break
            parent = os.open("..", flags, dir_fd=fd)
            os.close(fd)
            fd = parent
            os.rmdir(names.pop(), dir_fd=fd)
    finally:
        os.close(fd)
    os.rmdir(path)


# --- receiving an archive --------------------------------------------------------------------

class Intake(object):
    """The file object the request parser writes a plug-in archive into (see
    StoreRequest): inflates and hashes as it goes, writes the tar stream to the staging
    folder, and scans the tar headers for the limits. Refusals are kept and raised by
    finish(), after the request has been read."""

    def __init__(self, data, limits, total_length):
        self.data, self.limits, self.total_length = data, limits, total_length
        self._staged = staged(data)
        self.tx, self.folder = self._staged.__enter__()
        self.plain_path = os.path.join(self.folder, PLAIN)
        self.plain = open(self.plain_path, "wb")
        self.sha = hashlib.sha256()
        self.size = self.expanded = 0
        self.inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        self.gzip_members, self.padding = 0, False
        self.error = None
        # tar header scan: offset of the next header, its bytes so far, sums so far
        self.next_header, self.header, self.tar_end = 0, None, False
        self.members = self.data_total = 0
        self.closed = False

    # the parser's file protocol
    def write(self, chunk):
        self.sha.update(chunk)
        self.size += len(chunk)
        if self.error is None:
            try:
                self._inflate(chunk)
            except Refusal as e:
                self.error = e
            except zlib.error as e:
                self.error = Refusal(400, "%s (%s)" % (GZIP_TAR, _zlib_reason(e)))
            except OSError as e:
                self.error = e
        return len(chunk)

    def seek(self, *args):
        return 0

    def tell(self):
        return self.size

    def read(self, *args):
        return b""

    def flush(self):
        pass

    def _inflate(self, data):
        while data:
            if self.inflater is None:
                rest = data.lstrip(b"\0")
                self.padding = self.padding or len(rest) < len(data)
                if not rest:
                    return
                self.inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
                data = rest
            out = self.inflater.decompress(data, CHUNK)
            self._emit(out)
            while self.inflater.unconsumed_tail:
                self._emit(self.inflater.decompress(self.inflater.unconsumed_tail, CHUNK))
            if self.inflater.eof:
                data = self.inflater.unused_data
                self.inflater = None
                self.gzip_members += 1
            else:
                data = b""

    def _emit(self, out):
        if not out:
            return
        base = self.expanded
        self.expanded += len(out)
        self.plain.write(out)
        if not self.tar_end:
            self._scan(out, base)

    def _scan(self, out, base):
        """Walks the headers that `out` (the tar stream from offset `base`) holds."""
        end = base + len(out)
        while not self.tar_end:
            if self.header is None:
                if self.next_header >= end:
                    return
                self.header = b""
            at = self.next_header + len(self.header) - base
            self.header += out[at:at + 512 - len(self.header)]
            if len(self.header) < 512:
                return
            block, self.header = self.header, None
            self._header(block)

    def _header(self, block):
        kind, size = block[156:157], _tar_number(block[124:136])
        checksum = _tar_number(block[148:156])
        if size is None or checksum is None or \
                checksum != sum(block) - sum(block[148:156]) + 256:
            self.tar_end = True  # the end marker, or not a header: the full check decides
            return
        limits = self.limits
        if kind in EXTENDED and size > admission.EXTENDED_CAP:
            raise Refusal(400, "an extended header holds %d bytes, more than %s, the limit"
                          % (size, size_text(admission.EXTENDED_CAP)))
        self.members += 1
        if self.members > limits.max_members:
            raise Refusal(400, "the archive has more than %d members, the limit"
                          % limits.max_members)
        has_data = kind not in NO_DATA
        self.data_total += size if has_data else 0
        if self.data_total > limits.max_expanded:
            raise Refusal(413, "the archive expands to more than %s, the limit"
                          % size_text(limits.max_expanded))
        sent = self.total_length or 0
        if sent and self.data_total > admission.RATIO_FLOOR \
                and self.data_total > limits.max_ratio * sent:
            raise Refusal(413, "the archive expands more than %d-fold, the limit"
                          % limits.max_ratio)
        self.next_header += 512 + ((size + 511) & ~511 if has_data else 0)

    def finish(self):
        """The verified stream: (SHA-256, size). Raises the refusal found, if any."""
        self.plain.close()
        if self.error is None and self.gzip_members == 0:
            if self.size == 0:
                self.error = Refusal(400, GZIP_TAR + " (the file is empty)")
            elif self.inflater is not None and self.expanded:
                self.error = Refusal(400, GZIP_TAR + " (the gzip stream is cut short)")
            else:
                self.error = Refusal(400, GZIP_TAR)
        elif self.error is None and self.inflater is not None:
            self.error = Refusal(400, GZIP_TAR + " (the gzip stream is cut short)"
                                 if not self.padding else
                                 GZIP_TAR + " (bytes that are not gzip follow the archive)")
        if self.error is not None:
            raise self.error
        return self.sha.hexdigest(), self.size

    def close(self):
        if not self.closed:
            self.closed = True
            self.plain.close()
            self._staged.__exit__(None, None, None)


def _tar_number(field):
    if field[:1] in (b"\x80", b"\xff"):  # GNU base-256
        value = int.from_bytes(field[1:], "big")
        return -value if field[:1] == b"\xff" else value
    text = field.split(b"\0", 1)[0].strip(b" ")
    try:
        return int(text or b"0", 8)
    except ValueError:
        return None


def _zlib_reason(error):
    text = str(error)
    if "incorrect data check" in text:
        return "the gzip CRC does not match the data: the archive is damaged"
    if "incorrect length check" in text:
        return "the gzip length does not match the data: the archive is damaged"
    if "incorrect header check" in text or "unknown compression method" in text:
        return "the file is not gzip data"
    return "the gzip data is damaged: %s" % text


# --- the store -------------------------------------------------------------------------------

class Conflict(Refusal):
    pass


class Store(object):
    def __init__(self, data, limits):
        self.data, self.limits = data, limits
        self.plugins = os.path.join(data, "plugin")
        self.previous_root = os.path.join(data, PREVIOUS)
        for folder in (staging_root(data), self.previous_root):
            os.makedirs(folder, exist_ok=True)
        self.record = Record(data)
        self._listing = (None, None)

    def place(self, name):
        return os.path.join(self.plugins, name)

    def kept(self, name):
        return os.path.join(self.previous_root, name)

    def lock(self, exclusive=True):
        return store_lock(self.data, exclusive=exclusive)

    # --- installing ------------------------------------------------------------------------

    def install(self, intake, archive_name, who, replace):
        """Unpacks a received archive and puts it in place: the pending row's facts."""
        sha, size = intake.finish()
        tree = os.path.join(intake.folder, "tree")
        os.mkdir(tree)
        try:
            tar = admission.CheckedTarFile.open(intake.plain_path, "r:", encoding="utf-8",
                                                errors="surrogateescape")
        except admission.ARCHIVE_ERRORS as e:
            raise Refusal(400, "%s (%s)" % (GZIP_TAR, e)) from e
        with tar:
            top, members = admission.check_tar(tar, self.limits, tree, size, self.plugins)
            self.check_conflict(top, archive_name, replace)  # early: no unpack for a 409
            if admission.FILTER is not None:
                tar.extractall(tree, members=members, filter="fully_trusted")
            else:
                tar.extractall(tree, members=members)
        os.unlink(intake.plain_path)  # room on a full disk for what follows
        new = os.path.join(tree, top)
        facts = {"archive": archive_name, "sha256": sha, "size": size,
                 "members": len(members), "installed_at": time.time(), "installed_by": who}
        with self.lock():
            action = self.check_conflict(top, archive_name, replace)
            self.record.begin(intake.tx, action, top, os.lstat(new).st_ino, facts)
            self.settle(self._pending(intake.tx))
        return top, action

    def check_conflict(self, top, archive_name, replace):
        """'install' or 'replace', or Conflict/Refusal when the name may not be used."""
        same = self.record.same_after_nfc(top) or [
            n for n in self._names() if n != top and nfc(n) == nfc(top)]
        if same:
            raise Refusal(400, "the plug-in folder %r equals the installed %r after Unicode "
                               "normalisation (NFC); rename the folder" % (top, same[0]))
        if not os.path.lexists(self.place(top)):
            return "install"
        facts = self.record.installed([top]).get(top)
        if not replace and (facts is None or facts["archive"] != archive_name):
            where = "from %r" % facts["archive"] if facts else "without a record"
            raise Conflict(409, "the plug-in %r is installed %s; ask to replace it (form field "
                                "'replace', the checkbox on the page)" % (top, where))
        return "replace"

    def _pending(self, tx):
        return next(p for p in self.record.pending() if p["tx"] == tx)

    # --- one change, from pending to recorded ----------------------------------------------

    def settle(self, pending, swept=False):
        """Carries the change `pending` through to the record, or undoes what of it was done
        when it did not happen; the same steps whether the change is live or found by a start
        after a kill. Runs under the store lock. True when the change is recorded."""
        name, action, tx = pending["name"], pending["action"], pending["tx"]
        folder = os.path.join(staging_root(self.data), tx)
        place, kept = self.place(name), self.kept(name)
        new = os.path.join(folder, "tree", name)
        aside, trash = os.path.join(folder, "aside"), os.path.join(folder, "trash")
        if swept:
            done = self._happened(pending, place)
        else:
            try:
                if action in ("install", "replace", "remove") and os.path.lexists(kept):
                    os.rename(kept, trash)  # the generation this change drops
                if action == "install":
                    os.rename(new, place)
                elif action == "replace":
                    exchange(new, place, aside)
                elif action == "rollback":
                    exchange(kept, place, aside)
                elif action == "remove":
                    os.rename(place, os.path.join(folder, "gone"))
            except BaseException:
                self._undo(pending, place, kept, aside, trash)
                raise
            done = True
        if not done:
            self._undo(pending, place, kept, aside, trash)
            return False
        # The rename happened: from here on the change is finished, now or by the next start.
        if action == "replace":  # the old tree, from where the exchange (or its fallback) left it
            old = aside if os.path.lexists(aside) else new
            if os.path.lexists(old) and not os.path.lexists(kept):
                os.rename(old, kept)
        elif action == "rollback" and os.path.lexists(aside):
            os.rename(aside, kept)
        self.record.finish(pending, "interrupted; finished at start" if swept else "ok")
        return True

    def _happened(self, pending, place):
        try:
            inode = os.lstat(place).st_ino
        except FileNotFoundError:
            inode = None
        if pending["action"] == "remove":
            return inode is None
        return inode == pending["inode"]

    def _undo(self, pending, place, kept, aside, trash):
        """Puts back what a change that did not happen moved, and forgets it."""
        try:
            if pending["action"] in ("replace", "rollback") and not os.path.lexists(place) \
                    and os.path.lexists(aside):
                os.rename(aside, place)
            if os.path.lexists(trash) and not os.path.lexists(kept):
                os.rename(trash, kept)
            if pending["action"] == "remove":
                gone = os.path.join(os.path.dirname(trash), "gone")
                if os.path.lexists(gone) and not os.path.lexists(place):
                    os.rename(gone, place)
            self.record.drop_pending(pending["tx"])
        except Exception:
            log.exception("could not undo the change %s of %r; the next start finishes it",
                          pending["tx"], pending["name"])

    # --- removal and rollback ---------------------------------------------------------------

    def remove(self, name, who):
        with staged(self.data) as (tx, folder):
            with self.lock():
                if not os.path.lexists(self.place(name)):
                    raise Refusal(404, "no plug-in named %r" % name)
                facts = self.record.installed([name]).get(name) or {}
                self.record.begin(tx, "remove", name, None,
                                  {"archive": facts.get("archive"), "installed_by": who})
                self.settle(self._pending(tx))

    def rollback(self, name, who):
        with staged(self.data) as (tx, folder):
            with self.lock():
                if not os.path.lexists(self.place(name)):
                    raise Refusal(404, "no plug-in named %r" % name)
                if not os.path.isdir(self.kept(name)):
                    raise Refusal(409, "the plug-in %r has no previous version to put back"
                                  % name)
                facts = self.record.previous([name]).get(name) or {}
                self.record.begin(tx, "rollback", name, os.lstat(self.kept(name)).st_ino,
                                  {"archive": facts.get("archive"), "installed_by": who})
                self.settle(self._pending(tx))
                return facts.get("archive")

    # --- a start ----------------------------------------------------------------------------

    def sweep(self):
        """Finishes or undoes what interrupted changes left (one log line each), removes
        their staging folders, and drops record rows whose folder is gone."""
        with self.lock():
            for pending in self.record.pending():
                try:
                    finished = self.settle(pending, swept=True)
                except Exception:
                    log.exception("could not settle the interrupted change %s", pending["tx"])
                    continue
                log.warning("swept an interrupted %s of %r (%s): %s", pending["action"],
                            pending["name"], pending["tx"],
                            "finished" if finished else "undone, the store is as it was")
            root = staging_root(self.data)
            for tx in sorted(os.listdir(root)):
                path = os.path.join(root, tx)
                try:
                    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
                except (FileNotFoundError, NotADirectoryError):
                    fd = None
                try:
                    if fd is not None:
                        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    continue  # a live upload of another process
                try:
                    remove_tree(path)
                finally:
                    if fd is not None:
                        os.close(fd)
                log.warning("swept what an interrupted upload left: %s", path)
            for name in self.record.installed():
                if not os.path.lexists(self.place(name)):
                    self.record.forget(name)
                    log.warning("the plug-in %r is gone from %s; dropped from the record",
                                name, self.plugins)
            for name in self.record.previous():
                if not os.path.lexists(self.kept(name)):
                    self.record.forget(name, previous_only=True)

    # --- reading ----------------------------------------------------------------------------

    def _names(self):
        return os.listdir(self.plugins)

    def names(self):
        """The installed names, sorted; cached until the record or the folder changes."""
        info = os.stat(self.plugins)
        key = (self.record.generation(), info.st_mtime_ns, info.st_ino, info.st_nlink)
        cached_key, names = self._listing
        if cached_key != key:
            names = sorted(self._names())
            self._listing = (key, names)
        return names


class AtomicUpload(object):
    """Stands in for an uploaded file where a view saves it: save() writes a temporary file in
    the staging folder and os.replace()s it into place, so a stored module is whole or absent."""

    def __init__(self, part, data):
        self.part, self.data = part, data

    def __getattr__(self, name):
        return getattr(self.part, name)

    def __bool__(self):
        return bool(self.part)

    def save(self, dst, buffer_size=1 << 16):
        import shutil
        import tempfile
        fd, tmp = tempfile.mkstemp(prefix="module-", dir=staging_root(self.data))
        try:
            with os.fdopen(fd, "wb") as f:
                shutil.copyfileobj(self.part.stream, f, buffer_size)
            os.replace(tmp, dst)
        except BaseException:
            os.unlink(tmp)
            raise


def is_full_disk(error):
    return isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT,
                                                          errno.EFBIG)
