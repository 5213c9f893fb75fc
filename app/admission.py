"""What an upload must satisfy before the views see it: the size limits and the archive's shape.

A plug-in archive is read header by header from the upload itself, before anything is written:
its members' total size (and its ratio to the upload's), their number and every path's length
are checked against the limits, and reading stops at the first member that passes one, so a
small upload that would expand to gigabytes is refused after reading its headers, not after
unpacking it. The same pass refuses an archive that could not be unpacked whole over what the
plug-in folder holds, since unpacking would stop part-way with the store half changed.
"""
import errno
import gzip
import os
import re
import tarfile
import zlib
from collections import namedtuple

KIB = 1024
MIB = KIB * KIB
GIB = MIB * KIB

# name -> (environment variable, flag, default, what it bounds)
LIMITS = {
    "max_upload": ("VIEW_MAX_UPLOAD", "--max-upload", "64M", "the largest upload request"),
    "max_expanded": ("VIEW_MAX_EXPANDED", "--max-expanded", "1G",
                     "the most a plug-in archive's members may hold"),
    "max_members": ("VIEW_MAX_MEMBERS", "--max-members", "10000",
                    "the most members a plug-in archive may have"),
    "max_ratio": ("VIEW_MAX_RATIO", "--max-ratio", "100",
                  "how many times its upload's size a plug-in archive may expand to"),
}
# Archives that expand to no more than this are not held to the ratio: a small archive of
# small, repetitive files may well shrink more than a hundredfold, and harms no one.
RATIO_FLOOR = MIB
Limits = namedtuple("Limits", sorted(LIMITS))

# What a truncated or corrupt archive raises while it is read (gzip's own error is an OSError,
# raised for trailing bytes that are not a further gzip member).
ARCHIVE_ERRORS = (tarfile.TarError, EOFError, zlib.error, gzip.BadGzipFile)
SUFFIXES = {"": 1, "k": KIB, "m": MIB, "g": GIB}


class Refusal(Exception):
    """An upload refused with an HTTP status and a reason for the person who sent it."""

    def __init__(self, status, message):
        Exception.__init__(self, message)
        self.status = status


def parse_count(text):
    """'64M', '1g', '10000' -> bytes or a count (binary suffixes K, M, G); ValueError if not."""
    match = re.fullmatch(r"\s*(\d+)\s*([kKmMgG]?)(?:i?[bB])?\s*", str(text))
    if not match or int(match.group(1)) <= 0:
        raise ValueError("%r is not a positive number (a K, M or G suffix is allowed)" % (text,))
    return int(match.group(1)) * SUFFIXES[match.group(2).lower()]


def limits_from(environ):
    """The limits, from the environment variables where they are set, else the defaults."""
    values = {}
    for name, (variable, _, default, _) in LIMITS.items():
        text = environ.get(variable)
        try:
            values[name] = parse_count(text or default)
        except ValueError as e:
            raise ValueError("%s: %s" % (variable, e)) from e
    return Limits(**values)


def size_text(size):
    """A byte count as a person reads it: '64 MiB', '1.5 KiB', '300 bytes'."""
    if size is None:
        return "no limit"
    for unit, scale in (("GiB", GIB), ("MiB", MIB), ("KiB", KIB)):
        if size >= scale:
            return ("%.1f" % (size / scale)).replace(".0", "") + " " + unit
    return "%d bytes" % size


def name_too_long(name, folder):
    """Why `name` cannot be created in `folder` for its length, or None."""
    name_max = os.pathconf(folder, "PC_NAME_MAX")
    path_max = os.pathconf(folder, "PC_PATH_MAX")
    for part in name.split("/"):
        if len(os.fsencode(part)) > name_max:
            return "the name %r is longer than the file system allows (%d bytes)" % (
                part[:40] + "...", name_max)
    if len(os.fsencode(os.path.join(folder, name))) >= path_max:
        return "the path %r is longer than the file system allows (%d bytes with the store's " \
               "folder)" % (name[:40] + "...", path_max)
    return None


class Layout(object):
    """What the plug-in folder holds at each path once the members read so far are unpacked:
    "dir", "file" or None. tarfile cannot put a file where a folder is, nor anything below a
    file, and finds out only part-way through unpacking, after earlier members are written."""

    def __init__(self, folder):
        self.folder = folder
        self.planned = {}

    def kind(self, path):
        if path in self.planned:
            return self.planned[path]
        full = os.path.join(self.folder, path)
        if os.path.isdir(full) and not os.path.islink(full):
            return "dir"
        return "file" if os.path.lexists(full) else None

    def conflict(self, member):
        """Why unpacking `member` would fail on what is there, or None; notes what it makes."""
        parts = os.path.normpath(member.name).split("/")
        for depth in range(1, len(parts)):
            above = "/".join(parts[:depth])
            if self.kind(above) == "file":
                return "%r needs %r to be a folder, and it is a file" % (member.name, above)
            self.planned[above] = "dir"
        path, want = "/".join(parts), "dir" if member.isdir() else "file"
        have = self.kind(path)
        if want == "file" and have == "dir":
            return "%r would replace the folder %r with a file" % (member.name, path)
        self.planned[path] = have if have == "file" else want
        return None


def member_problem(member, folder, archive_name, layout):
    """Why a member refuses its archive before anything is written, or None."""
    # The view stores the archive in the plug-in folder and unpacks it there: a member of the
    # same name would truncate the archive while it is being read, half-way through unpacking.
    if os.path.normpath(member.name).split("/")[0] == archive_name:
        return "the member %r would overwrite the archive itself while it is unpacked" % (
            member.name,)
    return name_too_long(member.name, folder) or layout.conflict(member)


def check_archive(stream, limits, folder, archive_name):
    """Reads the members' headers from the upload `stream` and raises Refusal if the archive
    is unreadable, passes a limit, or could not be unpacked whole over what `folder` holds;
    rewinds the stream for whoever stores it next."""
    total = count = 0
    layout = Layout(folder)
    upload_size = max(stream.seek(0, os.SEEK_END), 1)
    stream.seek(0)
    try:
        # Read as the view will read the stored file (mode "r", seekable), never as a stream:
        # a stream reader stops at the end of the first gzip member, and members in a second
        # one would be unpacked unchecked. Iterating reads one header at a time.
        with tarfile.open(fileobj=stream, mode="r:*") as archive:
            for member in archive:
                count += 1
                if count > limits.max_members:
                    raise Refusal(400, "the archive has more than %d members, the limit"
                                  % limits.max_members)
                total += member.size
                if total > limits.max_expanded:
                    raise Refusal(413, "the archive expands to more than %s, the limit"
                                  % size_text(limits.max_expanded))
                if total > RATIO_FLOOR and total > limits.max_ratio * upload_size:
                    raise Refusal(413, "the archive expands more than %d-fold, the limit"
                                  % limits.max_ratio)
                problem = member_problem(member, folder, archive_name, layout)
                if problem:
                    raise Refusal(400, "a member is refused: %s" % problem)
    except ARCHIVE_ERRORS as e:
        raise Refusal(400, "not a readable .tar.gz archive (%s: %s)"
                      % (type(e).__name__, e)) from e
    finally:
        stream.seek(0)


def is_name_too_long(error):
    return isinstance(error, OSError) and error.errno == errno.ENAMETOOLONG
