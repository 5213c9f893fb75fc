"""The plug-in store as a transaction: staged, verified installs, replacements, rollbacks and
removals that leave plugin/ either as it was or with the change whole, whatever fails or is
killed, and a record (record.py) that agrees with the folders.

Where things are, all in the data folder (one file system, so every step is a rename):
- plugin/<name>: the installed plug-ins, and nothing else;
- .staging/<tx>/: one change in progress, locked (flock on the folder) by the process that owns
  it: the tree unpacked as the archive arrives (tree/<name>), and
  what a change moves aside before it is deleted;
- .previous/<name>: the generation a replace moved aside, which a rollback puts back.

An upload is verified while it arrives: the request's thread takes the SHA-256 of what was
sent and hands the bytes to a second thread, which inflates the gzip stream (its CRC and length
checked by zlib), reads each tar header, checks it against the limits and the rules
(admission.check_tar) and unpacks the member into the staging folder, all in one pass: the
upload is neither stored nor inflated twice. The staging folder is no part of the store: the
unpacked tree goes in place only once the whole stream has been read and found good, with one
rename (an exchange with the old tree, for a replace), between a "pending" row that says what is
about to happen and the record update that says it happened; a start after a kill reads the
pending rows and finishes or undoes each change (the inode of the folder in place tells which).
A record update that fails after the rename (a full disk) takes the rename back, so the answer
is a refusal with the store as it was; what even that leaves pending is settled before the next
change.
"""
import collections
import ctypes
import errno
import fcntl
import hashlib
import logging
import os
import secrets
import sqlite3
import stat
import tarfile
import threading
import time
import zlib
from contextlib import contextmanager

from . import admission
from .admission import GZIP_TAR, Refusal, size_text
from .record import Record, nfc
from .store_lock import store_lock

STAGING = ".staging"
PREVIOUS = ".previous"
# What the history says of a change settled after its own request had failed or its process
# had been killed.
SWEPT_AT_START = "interrupted; finished at start"
FINISHED_LATE = "interrupted; finished by the next change"
CHUNK = 1 << 20
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

class _Flow(object):
    """The raw archive bytes on their way from the thread that reads the request to the one
    that unpacks them: at most `cap` bytes wait, so a slow unpack holds back the reading (and
    so the sender) rather than filling memory."""

    def __init__(self, cap):
        self.cap, self.held, self.chunks = cap, 0, collections.deque()
        self.ended = self.closed = False
        self.ready = threading.Condition()

    def put(self, chunk):
        with self.ready:
            while self.held >= self.cap and not self.closed:
                self.ready.wait()
            if self.closed:
                return  # the unpacker stopped: what is still sent is only hashed
            self.chunks.append(chunk)
            self.held += len(chunk)
            self.ready.notify_all()

    def get(self):
        """The next chunk, or None at the end of the upload."""
        with self.ready:
            while not self.chunks and not self.ended:
                self.ready.wait()
            if not self.chunks:
                return None
            chunk = self.chunks.popleft()
            self.held -= len(chunk)
            self.ready.notify_all()
            return chunk

    def end(self):
        with self.ready:
            self.ended = True
            self.ready.notify_all()

    def close(self):
        """The unpacker takes no more: a waiting reader goes on."""
        with self.ready:
            self.closed = self.ended = True
            self.chunks.clear()
            self.held = 0
            self.ready.notify_all()


class _TarStream(object):
    """The tar stream the unpacker reads: the gzip upload inflated as it is read (CRC and
    length checked by zlib at the end of each gzip member), forward only, but with the last
    KEEP bytes kept so that tarfile may step back a header. A seek past the end stops there."""
    KEEP = 1 << 16

    def __init__(self, flow, cap, limit):
        self.flow, self.cap, self.limit = flow, cap, limit
        self.buf, self.start, self.pos = bytearray(), 0, 0
        self.inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        self.pending = b""  # raw bytes given to no inflater yet, or its unconsumed tail
        self.expanded = self.gzip_members = 0
        self.padding = self.at_end = False
        self.error = None  # what is wrong with the gzip stream itself, found while reading

    def _pull(self):
        """Inflates at most CHUNK more bytes into the buffer; False at the end."""
        while True:
            if not self.pending:
                if self.at_end:
                    return False
                chunk = self.flow.get()
                if chunk is None:
                    self.at_end = True
                    return False
                self.pending = chunk
            if self.inflater is None:  # between gzip members: zeros, or the next member
                rest = self.pending.lstrip(b"\0")
                self.padding = self.padding or len(rest) < len(self.pending)
                self.pending = rest
                if not rest:
                    continue
                self.inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
            try:
                out = self.inflater.decompress(self.pending, CHUNK)
            except zlib.error as e:
                self.error = Refusal(400, "%s (%s)" % (GZIP_TAR, _zlib_reason(e)))
                self.pending, self.at_end = b"", True
                self.flow.close()
                return False
            if self.inflater.eof:
                self.pending = self.inflater.unused_data
                self.inflater = None
                self.gzip_members += 1
            else:
                self.pending = self.inflater.unconsumed_tail
            if out:
                self.expanded += len(out)
                if self.expanded > self.cap:
                    raise Refusal(413, "the archive expands to more than %s, the limit"
                                  % size_text(self.limit))
                self.buf += out
                return True

    def read(self, size=-1):
        at = self.pos - self.start
        if size is not None and 0 <= size <= len(self.buf) - at:
            # what tarfile mostly asks for, a header or a member's data, is in the buffer
            out = bytes(memoryview(self.buf)[at:at + size])
            self.pos += size
        else:
            out = self._read_on(size)
        if self.pos - self.start > 2 * self.KEEP:
            drop = self.pos - self.start - self.KEEP
            del self.buf[:drop]
            self.start += drop
        return out

    def _read_on(self, size):
        want = self.pos + (size if size is not None and size >= 0 else 1 << 62)
        while self.start + len(self.buf) < want and self._pull():
            pass
        at = self.pos - self.start
        out = bytes(memoryview(self.buf)[at:at + want - self.pos])
        self.pos += len(out)
        return out

    def seek(self, offset, whence=os.SEEK_SET):
        if whence == os.SEEK_CUR:
            offset += self.pos
        elif whence != os.SEEK_SET:
            raise OSError(errno.ESPIPE, "the tar stream seeks from its start only")
        if offset < self.start:
            raise OSError(errno.ESPIPE, "the tar stream cannot go back that far")
        while self.start + len(self.buf) < offset and self._pull():
            pass
        self.pos = min(offset, self.start + len(self.buf))
        return self.pos

    def tell(self):
        return self.pos

    def drain(self):
        """Reads on to the end (nothing kept) so that a damaged gzip stream is still told as
        such; an archive that expands past the cap stops it."""
        try:
            while self.error is None and self._pull():
                self.start += len(self.buf)
                self.pos = self.start
                self.buf = bytearray()
        except Refusal:
            pass

    def end_problem(self, size):
        """What the end of the gzip stream says is wrong, once it has all been read."""
        if self.error is not None or not self.at_end:
            return self.error
        if self.gzip_members == 0:
            if size == 0:
                return Refusal(400, GZIP_TAR + " (the file is empty)")
            if self.inflater is not None and self.expanded:
                return Refusal(400, GZIP_TAR + " (the gzip stream is cut short)")
            return Refusal(400, GZIP_TAR)
        if self.inflater is not None:
            return Refusal(400, GZIP_TAR + " (the gzip stream is cut short)"
                           if not self.padding else
                           GZIP_TAR + " (bytes that are not gzip follow the archive)")
        return None


class Intake(object):
    """The file object the request parser writes a plug-in archive into (see StoreRequest).
    The request's thread hashes what arrives and hands it on; a second thread inflates it,
    reads and checks each tar header (admission.check_tar) and unpacks each member into the
    staging folder as it comes, so the upload is read once and never written whole. Nothing
    reaches plugin/ before finish() has found the gzip stream whole and every check passed.
    Refusals are kept and raised by finish(), after the request has been read."""
    BACKLOG = 4 * CHUNK

    def __init__(self, data, limits, total_length):
        self.data, self.limits, self.total_length = data, limits, total_length
        self._staged = staged(data)
        self.tx, self.folder = self._staged.__enter__()
        self.tree = os.path.join(self.folder, "tree")
        self.size = 0
        self.sha = hashlib.sha256()  # of the archive as sent, every byte of it
        self.closed = False
        self.result = self.error = None
        try:
            os.mkdir(self.tree)
            self.flow = _Flow(self.BACKLOG)
            # Every legitimate tar stream stays below this: its members' data within the
            # limit, and a header block and padding for each member at most.
            cap = limits.max_expanded + 2 * 512 * limits.max_members + CHUNK
            self.stream = _TarStream(self.flow, cap, limits.max_expanded)
            self.thread = threading.Thread(target=self._unpack, name="store-unpack-" + self.tx,
                                           daemon=True)
            self.thread.start()
        except BaseException:
            self._staged.__exit__(None, None, None)
            raise

    # the parser's file protocol
    def write(self, chunk):
        chunk = bytes(chunk)  # the parser's chunks are bytes already: no copy
        self.size += len(chunk)
        # Hashed here, not by the unpacker: inflating and writing keep that thread busy
        # while this one mostly waits for room in the flow, and hashing lets go of the
        # interpreter, so the two run side by side.
        self.sha.update(chunk)
        self.flow.put(chunk)
        return len(chunk)

    def seek(self, *args):
        return 0

    def tell(self):
        return self.size

    def read(self, *args):
        return b""

    def flush(self):
        pass

    def _unpack(self):
        stream = self.stream
        try:
            try:
                tar = admission.CheckedTarFile.open(fileobj=stream, mode="r:",
                                                    encoding="utf-8", errors="surrogateescape")
            except admission.ARCHIVE_ERRORS as e:
                raise Refusal(400, "%s (%s)" % (GZIP_TAR, e)) from e
            with tar:
                tar.copybufsize = CHUNK
                self.result = self._extract(tar)
        except Refusal as e:
            self.error = e
            if e.status != 413:  # a damaged gzip stream is the better reason, if it is one
                stream.drain()
        except BaseException as e:  # a full disk, say: raised by finish()
            self.error = e
        finally:
            self.flow.close()

    def _extract(self, tar):
        folders, kwargs = [], {}
        if admission.FILTER is not None:
            kwargs["filter"] = "fully_trusted"  # the members come filtered by check_tar

        def extract(member):
            # as extractall: a folder's own attributes are set once what it holds is in
            if member.isdir():
                folders.append(member)
            tar.extract(member, self.tree, set_attrs=not member.isdir(), **kwargs)

        # The ratio to the upload is judged on the way against the request's length, and at
        # the end against the archive's own size.
        top, members = admission.check_tar(tar, self.limits, self.tree,
                                           self.total_length or (1 << 62),
                                           os.path.join(self.data, "plugin"), extract)
        for member in sorted(folders, key=lambda m: m.name, reverse=True):
            path = os.path.join(self.tree, member.name)
            try:
                tar.chown(member, path, numeric_owner=False)
                tar.utime(member, path)
                tar.chmod(member, path)
            except tarfile.ExtractError:
                pass
        expanded = sum(m.size for m in members if m.isreg()) + tar.view_counts.extended_bytes
        if expanded > admission.RATIO_FLOOR and expanded > self.limits.max_ratio * self.size:
            raise Refusal(413, "the archive expands more than %d-fold, the limit"
                          % self.limits.max_ratio)
        return top, members

    def finish(self):
        """The verified, unpacked upload: (SHA-256, size, top-level name, members). Raises
        the refusal found, if any: the gzip stream's first, then the archive's."""
        self.flow.end()
        self.thread.join()
        problem = self.stream.end_problem(self.size)
        if problem is not None and not (self.error is not None and
                                        getattr(self.error, "status", None) == 413):
            raise problem
        if self.error is not None:
            raise self.error
        top, members = self.result
        return self.sha.hexdigest(), self.size, top, members

    def close(self):
        if not self.closed:
            self.closed = True
            self.flow.close()
            self.thread.join()
            self._staged.__exit__(None, None, None)


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


class Unrecorded(Refusal):
    """A change in place whose record could not be written, nor the change taken back."""


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
        if not exclusive and self.record.gone():
            # A listing puts a deleted record file back as a change would, before the start
            # that would find it missing.
            with store_lock(self.data, exclusive=True):
                try:
                    self.record.guard()
                except Refusal as e:
                    log.warning("%s", e)
        return store_lock(self.data, exclusive=exclusive)

    # --- installing ------------------------------------------------------------------------

    def install(self, intake, archive_name, who, replace, commit=None):
        """Puts a received, unpacked archive in place: the pending row's facts. `commit`: see
        settle()."""
        sha, size, top, members = intake.finish()
        new = os.path.join(intake.tree, top)
        facts = {"archive": archive_name, "sha256": sha, "size": size,
                 "members": len(members), "installed_at": time.time(), "installed_by": who}
        with self.lock():
            self.record.guard()
            self.settle_left()
            action = self.check_conflict(top, archive_name, replace)
            self.record.begin(intake.tx, action, top, os.lstat(new).st_ino, facts)
            self.settle(self._pending(intake.tx), commit=commit)
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

    def settle(self, pending, swept=None, commit=None):
        """Carries the change `pending` through to the record, or undoes what of it was done
        when it did not happen; the same steps whether the change is live or found after a
        kill or a failed record write (`swept`: what the history says of such a change then).
        Runs under the store lock. True when the change is recorded. When the record cannot
        be written after the rename, the rename is undone too, so that the folders and the
        record agree either way, and the error is raised."""
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
            problem = self._undo(pending, place, kept, aside, trash)
            if problem is not None and swept != SWEPT_AT_START:
                raise problem
            return False
        # The rename happened: the change is recorded now, or undone when it cannot be.
        before = self.record.rows_of(name) if commit is not None else None
        try:
            if action == "replace":  # the old tree, where the exchange (or its fallback) left it
                old = aside if os.path.lexists(aside) else new
                if os.path.lexists(old) and not os.path.lexists(kept):
                    os.rename(old, kept)
            elif action == "rollback" and os.path.lexists(aside) and not os.path.lexists(kept):
                os.rename(aside, kept)
            self.record.finish(pending, swept or "ok")
        except Exception as e:
            if not self._revert(pending, place, kept, new, aside, trash):
                if commit is not None:
                    commit()  # in place for good: so is the change elsewhere
                raise Unrecorded(500, "the %s of %r is in place, but its record could not be "
                                      "written (%s); the next change or start records it"
                                 % (action, name, full_disk_reason(e))) from e
            raise
        except BaseException:
            self._revert(pending, place, kept, new, aside, trash)
            raise
        if commit is not None:
            try:
                commit()
            except BaseException:
                self._take_back(pending, before, place, kept, new, aside, trash)
                raise
        return True

    def _take_back(self, pending, before, place, kept, new, aside, trash):
        """Takes back a change that is in place and recorded here, because what it changes
        elsewhere (the shared record) could not be committed: the record's rows as they were,
        with the pending row again, in one transaction; then the folders, as after a record
        write that failed. Where even the record cannot be written, the change stays in place
        and recorded here, and the node's controller brings back what the shared record says."""
        try:
            self.record.take_back(pending, before)
        except Exception:
            log.exception("could not take back the %s of %r (%s), which the shared record did "
                          "not take; this node's copy follows the shared record once it answers",
                          pending["action"], pending["name"], pending["tx"])
            return
        self._revert(pending, place, kept, new, aside, trash)

    def _revert(self, pending, place, kept, new, aside, trash):
        """Takes back a change whose rename happened but whose record could not be written:
        the folders as they were, then the pending row dropped. Each step leaves what
        _happened judges rightly, so a kill on the way is finished or undone by the next
        settle; a step that fails leaves the row for it."""
        action, tx = pending["action"], pending["tx"]
        try:
            os.makedirs(os.path.dirname(new), exist_ok=True)  # its staging folder may be gone
            if action == "install":
                os.rename(place, new)
            elif action == "replace":
                if not os.path.lexists(new):  # the old tree goes back where the exchange put it
                    os.rename(aside if os.path.lexists(aside) else kept, new)
                exchange(place, new, aside)
            elif action == "rollback":
                if os.path.lexists(aside) and not os.path.lexists(kept):
                    os.rename(aside, kept)
                exchange(place, kept, aside)
            elif action == "remove":
                os.rename(os.path.join(os.path.dirname(trash), "gone"), place)
            if os.path.lexists(trash) and not os.path.lexists(kept):
                os.rename(trash, kept)
        except Exception:
            log.exception("could not take back the %s of %r (%s) after its record failed; "
                          "the next change or start finishes it", action, pending["name"], tx)
            return False
        try:
            self.record.drop_pending(tx)
        except Exception as e:
            log.warning("the %s of %r (%s) is taken back; its pending row stays until the "
                        "next change or start: %s", action, pending["name"], tx, e)
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
        """Puts back what a change that did not happen moved, and forgets it; the error that
        kept it from doing so, if any (logged)."""
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
        except Exception as e:
            log.exception("could not undo the change %s of %r; the next change or start "
                          "finishes it", pending["tx"], pending["name"])
            return e
        return None

    def settle_left(self):
        """Settles the changes an earlier one left pending (its record write failed, or its
        process was killed) before the next change: under the store lock no change is live,
        so every pending row is left over. A row judged by the inode in place must be
        settled before another change of its name reuses the place (or the inode)."""
        for pending in self.record.pending():
            finished = self.settle(pending, swept=FINISHED_LATE)
            log.warning("settled the earlier %s of %r (%s): %s", pending["action"],
                        pending["name"], pending["tx"],
                        "finished" if finished else "undone, the store is as it was")

    # --- removal and rollback ---------------------------------------------------------------

    @contextmanager
    def _change_of(self, name):
        """A staged change of the installed plug-in `name`, under the store's lock, once what
        earlier changes left is settled; yields the change's transaction id."""
        with staged(self.data) as (tx, folder):
            with self.lock():
                self.record.guard()
                self.settle_left()
                if not os.path.lexists(self.place(name)):
                    raise Refusal(404, "no plug-in named %r" % name)
                yield tx

    def remove(self, name, who, commit=None):
        with self._change_of(name) as tx:
            facts = self.record.installed([name]).get(name) or {}
            self.record.begin(tx, "remove", name, None,
                              {"archive": facts.get("archive"), "installed_by": who})
            self.settle(self._pending(tx), commit=commit)

    def rollback(self, name, who, commit=None):
        with self._change_of(name) as tx:
            if not os.path.isdir(self.kept(name)):
                raise Refusal(409, "the plug-in %r has no previous version to put back" % name)
            facts = self.record.previous([name]).get(name) or {}
            self.record.begin(tx, "rollback", name, os.lstat(self.kept(name)).st_ino,
                              {"archive": facts.get("archive"), "installed_by": who})
            self.settle(self._pending(tx), commit=commit)
            return facts.get("archive")

    # --- a start ----------------------------------------------------------------------------

    def sweep(self):
        """Finishes or undoes what interrupted changes left (one log line each), removes
        their staging folders, and drops record rows whose folder is gone."""
        with self.lock():
            for pending in self.record.pending():
                try:
                    finished = self.settle(pending, swept=SWEPT_AT_START)
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
            try:
                for name in self.record.installed():
                    if not os.path.lexists(self.place(name)):
                        self.record.forget(name)
                        log.warning("the plug-in %r is gone from %s; dropped from the record",
                                    name, self.plugins)
                for name in self.record.previous():
                    if not os.path.lexists(self.kept(name)):
                        self.record.forget(name, previous_only=True)
            except sqlite3.Error as e:  # a full disk, say: the rows go at a later start
                log.warning("could not drop the rows of plug-ins that are gone: %s", e)

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


SQLITE_FULL = 13


def is_full_disk(error):
    """A write that failed for want of room: the system's ENOSPC and its kin, or SQLite's
    SQLITE_FULL (which is no OSError; Python before 3.11 tells it by its message only)."""
    if isinstance(error, sqlite3.Error):
        code = getattr(error, "sqlite_errorcode", None)
        if code is not None:
            return code & 0xff == SQLITE_FULL
        return "database or disk is full" in str(error)
    return isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT,
                                                          errno.EFBIG)


def full_disk_reason(error):
    return getattr(error, "strerror", None) or str(error)
