"""What an upload must satisfy before it is put in place: the size limits and the archive's shape.

A plug-in archive's tar stream (inflated and verified as gzip by store.py) is read header by
header: every header, extended ones (PAX, GNU long names) included, counts against the limits,
an extended header is read only when it is small, and every member is checked (names, kind, the
extraction filter) once, before it is unpacked (into a staging folder, never into the store).
The archive must hold exactly one top-level folder: the plug-in.
"""
import errno
import functools
import gzip
import math
import os
import re
import tarfile
import zlib
from collections import namedtuple

KIB = 1024
MIB = KIB * KIB
GIB = MIB * KIB

# kind -> (what a person calls it, suffix the view accepts, folder it is stored in)
KINDS = {
    "plugin": ("plug-in", ".tar.gz", "plugin"),
    "api_module": ("API module", ".py", "temp"),
}
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


def limits_from(config):
    """The limits, from the settings (named as their environment variables) where they are set,
    else the defaults."""
    values = {}
    for name, (variable, _, default, _) in LIMITS.items():
        text = config.get(variable)
        try:
            # A number may come as one (0 refused, not taken for unset); text as the
            # environment has it.
            values[name] = parse_count(default if text is None or text == "" else text)
        except ValueError as e:
            raise ValueError("%s: %s" % (variable, e)) from e
    return Limits(**values)


def upload_name_problem(name):
    """Why an uploaded file name is refused, or None. Only a plain file name is stored."""
    if "\x00" in name:
        return "the file name holds a NUL character"
    if name.startswith(("/", "\\")) or os.path.isabs(name) or re.match(r"^[A-Za-z]:", name):
        return "the file name is an absolute path"
    parts = re.split(r"[\\/]", name)
    if ".." in parts:
        return "the file name points into a parent folder"
    if len(parts) > 1:
        return "the file name holds folders; upload a plain file name"
    if name in (".", ""):
        return "the file name is empty"
    return None


def entry_name_problem(name):
    """Why a name given for removal is refused, or None. Only an entry of the listing can be
    removed: a plain name, never a path into one (a backslash is an ordinary character)."""
    if "\x00" in name:
        return "the name holds a NUL character"
    if "/" in name:
        return "the name holds a '/'; only a whole entry of the listing can be removed"
    if name in ("", ".", ".."):
        return "the name is not an entry"
    return None


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


# An extended header (PAX record set, GNU long name) is read whole into memory before the member
# it describes: each may hold at most this much, and only a few may precede one member.
EXTENDED_CAP = 16 * KIB
EXTENDED_CHAIN = 8
EXTENDED_TYPES = (tarfile.GNUTYPE_LONGNAME, tarfile.GNUTYPE_LONGLINK, tarfile.XHDTYPE,
                  tarfile.XGLTYPE, tarfile.SOLARIS_XHDTYPE)
MAX_DEPTH = 64
# The widest modification time the file system and utime take on every platform we run on.
MTIME_RANGE = 2 ** 40
# Names shown to the operator must read as they are: no control characters, no bidirectional
# controls (U+202A-U+202E, U+2066-U+2069), and no bytes that are not UTF-8 (surrogate escapes).
UNSHOWABLE = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069\udc80-\udcff]")
GZIP_TAR = "not a gzip-compressed tar archive"
HOW_TO_PACK = ("a plug-in archive holds exactly one top-level folder, the plug-in; pack it "
               "from the folder above it: tar czf NAME.tar.gz NAME/")


def name_problem(name):
    """Why a member or entry name cannot be shown and named safely, or None."""
    bad = UNSHOWABLE.search(name)
    if bad is None:
        return None
    c = bad.group()
    if "\udc80" <= c <= "\udcff":
        return "%r is not valid UTF-8" % name
    if "\u202a" <= c <= "\u2069":
        return "%r holds a bidirectional control character (U+%04X)" % (name, ord(c))
    return "%r holds a control character (U+%04X)" % (name, ord(c))


class _Counts(object):
    def __init__(self):
        self.extended = self.extended_bytes = self.chain = 0


class CheckedTarInfo(tarfile.TarInfo):
    """A TarInfo that refuses an extended header before reading it when it is large, and
    counts extended headers against the limits (tarfile reads each one whole)."""

    def _proc_member(self, tar):
        counts = tar.view_counts
        if self.type in EXTENDED_TYPES:
            counts.extended += 1
            counts.extended_bytes += self.size
            counts.chain += 1
            if self.size > EXTENDED_CAP:
                raise Refusal(400, "an extended header holds %d bytes, more than %s, the limit"
                              % (self.size, size_text(EXTENDED_CAP)))
            if counts.chain > EXTENDED_CHAIN:
                raise Refusal(400, "more than %d extended headers precede one member"
                              % EXTENDED_CHAIN)
        else:
            counts.chain = 0
        return tarfile.TarInfo._proc_member(self, tar)


class CheckedTarFile(tarfile.TarFile):
    """A TarFile whose headers are read by CheckedTarInfo (from the first, read on opening)."""
    tarinfo = CheckedTarInfo

    def __init__(self, *args, **kwargs):
        self.view_counts = _Counts()
        tarfile.TarFile.__init__(self, *args, **kwargs)


FILTER = getattr(tarfile, "data_filter", None)


def read_member_rules(text):
    """(reasons by rule, [(TarInfo test, rule)] in order) from the text of member_rules.def,
    the statement of the member rules that View.file's extraction filter is compiled from."""
    reasons = dict(re.findall(r'^MEMBER_REASON\((\w+), "([^"\\]*)"\)$', text, re.M))
    tests = re.findall(r"^MEMBER_TEST\((\w+), (\w+)\)$", text, re.M)
    if "path" not in reasons or not tests or any(rule not in reasons for _, rule in tests):
        raise RuntimeError("the member rules of the View package are incomplete")
    return reasons, tests


@functools.lru_cache(maxsize=None)
def member_rules():
    """The member rules of the View package in use: read on first use, since the application
    puts the package's build folder on the path only when it is made."""
    import View

    with open(os.path.join(os.path.dirname(View.__file__), "member_rules.def"),
              encoding="utf-8") as f:
        return read_member_rules(f.read())


def _member_rules(member, dest):
    """The store's rules for one member (those View.file applies too), then the extraction
    filter: returns the member to extract."""
    name = member.name
    reasons, tests = member_rules()
    if name.startswith("/") or ".." in name.split("/"):
        raise Refusal(400, "a member is refused: %r %s" % (name, reasons["path"]))
    for test, rule in tests:
        if getattr(member, test)():
            raise Refusal(400, "a member is refused: %r %s" % (name, reasons[rule]))
    if not (member.isreg() or member.isdir()) or member.type == tarfile.GNUTYPE_SPARSE \
            or member.sparse is not None:
        raise Refusal(400, "a member is refused: %r is not a plain file or folder" % name)
    if any(key == "size" or key.startswith("GNU.sparse") for key in member.pax_headers):
        raise Refusal(400, "a member is refused: %r carries a PAX size or sparse record" % name)
    mtime = member.mtime
    if not isinstance(mtime, (int, float)) or not math.isfinite(mtime) \
            or abs(mtime) > MTIME_RANGE:
        raise Refusal(400, "a member is refused: %r has an impossible modification time"
                      % name)
    if FILTER is None:
        return member
    try:
        return FILTER(member, dest)
    except tarfile.FilterError as e:
        raise Refusal(400, "a member is refused: %s" % e) from e


def _from_working_folder(dest):
    """`dest` as the extraction filter is given it: relative to the working folder when that
    is shorter. The filter resolves the destination and each member's path through every
    folder on the way, one lookup each, twice per member; from the server's working folder
    (the data folder) only the staging levels remain, where an absolute path would also walk
    every folder above the data folder. The result is the same path: the relative one is
    resolved against the working folder, as the kernel does."""
    try:
        rel = os.path.relpath(dest)
    except (OSError, ValueError):  # the working folder is gone
        return dest
    return rel if len(rel) < len(dest) else dest


def check_tar(tar, limits, dest, upload_size, final_folder, extract=None):
    """Reads every header of the open archive `tar` (a plain tar, opened with CheckedTarInfo)
    and returns (top-level name, the members to extract into `dest`); raises Refusal.
    `extract`, if given, is called with each member once it has passed, before the next
    header is read: the archive may be a stream read once."""
    counts = tar.view_counts
    name_max = os.pathconf(final_folder, "PC_NAME_MAX")
    path_max = os.pathconf(final_folder, "PC_PATH_MAX")
    prefix = max(len(os.fsencode(dest)), len(os.fsencode(final_folder))) + 1
    upload_size = max(upload_size, 1)
    near = _from_working_folder(dest)
    total = count = 0
    tops, members, planned = set(), [], {}
    try:
        for member in tar:
            count += 1
            if count + counts.extended > limits.max_members:
                raise Refusal(400, "the archive has more than %d members, the limit"
                              % limits.max_members)
            total += member.size if member.isreg() else 0
            expanded = total + counts.extended_bytes
            if expanded > limits.max_expanded:
                raise Refusal(413, "the archive expands to more than %s, the limit"
                              % size_text(limits.max_expanded))
            if expanded > RATIO_FLOOR and expanded > limits.max_ratio * upload_size:
                raise Refusal(413, "the archive expands more than %d-fold, the limit"
                              % limits.max_ratio)
            problem = name_problem(member.name)
            if problem:
                raise Refusal(400, "a member is refused: " + problem)
            parts = [p for p in member.name.split("/") if p not in ("", ".")]
            if not parts:
                continue  # the archive's own "./": nothing to unpack
            if len(parts) > MAX_DEPTH:
                raise Refusal(400, "a member is refused: %r lies deeper than %d levels"
                              % (member.name[:60] + "...", MAX_DEPTH))
            for part in parts:
                if len(os.fsencode(part)) > name_max:
                    raise Refusal(400, "a member is refused: the name %r is longer than the "
                                  "file system allows (%d bytes)" % (part[:40] + "...", name_max))
            if prefix + len(os.fsencode(member.name)) >= path_max:
                raise Refusal(400, "a member is refused: the path %r is longer than the file "
                              "system allows (%d bytes with the store's folder)"
                              % (member.name[:40] + "...", path_max))
            tops.add(parts[0])
            if len(tops) > 1:
                raise Refusal(400, "the archive holds more than one top-level entry (%s); %s"
                              % (", ".join(repr(t) for t in sorted(tops)[:3]), HOW_TO_PACK))
            problem = _layout_conflict(planned, parts, member)
            if problem:
                raise Refusal(400, "a member is refused: %s" % problem)
            members.append(_member_rules(member, near))
            if extract is not None:
                extract(members[-1])
        _check_end(tar, members)
    except ARCHIVE_ERRORS as e:
        raise Refusal(400, "%s (%s: %s)" % (GZIP_TAR, type(e).__name__, e)) from e
    if not tops:
        raise Refusal(400, "the archive is empty; " + HOW_TO_PACK)
    top, = tops
    if planned.get(top) != "dir":
        raise Refusal(400, "the archive's only entry %r is a file, not a folder; %s"
                      % (top, HOW_TO_PACK))
    return top, members


def _layout_conflict(planned, parts, member):
    # tarfile cannot put a file where a folder is, a folder where a file is, nor anything
    # below a file, and finds out only part-way through unpacking: every path the archive
    # makes keeps one kind, whatever the order of its members. A file member whose name ends
    # in "/" or "/." names a folder's path to the system, which cannot open it as a file.
    for depth in range(1, len(parts)):
        above = "/".join(parts[:depth])
        if planned.get(above) == "file":
            return "%r needs %r to be a folder, and it is a file" % (member.name, above)
        planned[above] = "dir"
    path = "/".join(parts)
    kind = "dir" if member.isdir() else "file"
    if kind == "file" and member.name.split("/")[-1] in ("", "."):
        return "%r is a file named like a folder (it ends in '/' or '/.')" % member.name
    if planned.get(path, kind) != kind:
        if kind == "file":
            return "%r would replace the folder %r with a file" % (member.name, path)
        return "%r would replace the file %r with a folder" % (member.name, path)
    planned[path] = kind
    return None


def _check_end(tar, members):
    """tarfile takes a bad header past the first for the end of the archive: what follows the
    last member must be the end marker's zeros, and every member's data must be there. The
    archive is read on to its end (a seek past the end of the stream stops there)."""
    f = tar.fileobj
    f.seek(tar.offset)
    while True:
        block = f.read(1 << 16)
        if not block:
            break
        if block.count(0) != len(block):
            raise Refusal(400, "%s (bytes that are not a tar header follow the member %r)"
                          % (GZIP_TAR, members[-1].name if members else ""))
    end = f.tell()
    for member in members[-1:]:
        if member.isreg() and member.offset_data + member.size > end:
            raise Refusal(400, "%s (the data of %r is cut short)" % (GZIP_TAR, member.name))


def is_name_too_long(error):
    return isinstance(error, OSError) and error.errno == errno.ENAMETOOLONG
