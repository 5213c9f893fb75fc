"""The archives that the suites upload and unpack, built in memory.

A member is a (header, data) pair made by `member`; `tar` packs members, `archive` packs a
mapping of names, `listed` reads the (kind, name, ...) rows of parametrised tables, and `header`
and `raw_member` give the bare blocks of hand-made streams (no end marker, wrong sizes).
Only the standard library: tests/packaging/smoke.py imports it into the venv under test.
"""
import io
import tarfile

# The kinds of member by the names that the tables use.
KINDS = {"file": tarfile.REGTYPE, "dir": tarfile.DIRTYPE, "sym": tarfile.SYMTYPE,
         "hard": tarfile.LNKTYPE, "chr": tarfile.CHRTYPE, "blk": tarfile.BLKTYPE,
         "fifo": tarfile.FIFOTYPE}


def member(name, data=b"", kind=tarfile.REGTYPE, linkname="", device=(0, 0), mode=None,
           mtime=0, pax=None):
    """One member: a file holding `data`, or another `kind` (a tarfile type or a name of KINDS)
    with its link target or device numbers; `pax`: extended headers of its own."""
    info = tarfile.TarInfo(name)
    info.type, info.linkname = KINDS.get(kind, kind), linkname
    info.devmajor, info.devminor = device
    info.size = len(data) if info.isreg() else 0
    info.mtime = mtime
    if mode is not None:
        info.mode = mode
    if pax:
        info.pax_headers = dict(pax)
    return info, data


def tar(members, compression="gz", level=9, **options):
    """The archive of `members` as bytes, compressed with "gz", "bz2" or "xz", or a plain tar
    for ""; `options` go to tarfile.open (format, encoding, errors)."""
    if compression in ("gz", "bz2"):
        options["compresslevel"] = level
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:" + compression if compression else "w",
                      **options) as out:
        for info, data in members:
            out.addfile(info, io.BytesIO(data) if info.isreg() else None)
    return buf.getvalue()


def archive(contents, compression="gz", pax=None, mtime=0, **options):
    """The archive of a mapping, in its order: a name maps to a file's bytes, to None for a
    folder, or to ("symlink", target); `pax` maps a name to its extended headers."""
    pax = pax or {}
    members = []
    for name, content in contents.items():
        if content is None:
            members.append(member(name, kind=tarfile.DIRTYPE, mtime=mtime, pax=pax.get(name)))
        elif isinstance(content, tuple):
            members.append(member(name, kind=tarfile.SYMTYPE, linkname=content[1], mtime=mtime,
                                  pax=pax.get(name)))
        else:
            members.append(member(name, content, mtime=mtime, pax=pax.get(name)))
    return tar(members, compression, **options)


def plugin_archive(top):
    """A plug-in as operators upload it: one top folder with a module and a static file."""
    return archive({top + "/__init__.py": b"NAME = %r\n" % top.encode(),
                    top + "/static/readme.txt": b"plug-in " + top.encode()})


def listed(rows):
    """Members from rows (kind, name[, data or link target]) with kind a name of KINDS: folders
    with mode 0o755, devices 1:3."""
    members = []
    for kind, name, *rest in rows:
        value = rest[0] if rest else b""
        if kind == "file":
            members.append(member(name, value))
        else:
            members.append(member(name, kind=kind, linkname=value if rest else "",
                                  device=(1, 3) if kind in ("chr", "blk") else (0, 0),
                                  mode=0o755 if kind == "dir" else None))
    return members


def header(name, size, kind=tarfile.REGTYPE):
    """The GNU-format header block of a member that announces `size` bytes of data."""
    info = tarfile.TarInfo(name)
    info.type, info.size = kind, size
    return info.tobuf(tarfile.GNU_FORMAT)


def raw_member(name, data, kind=tarfile.REGTYPE):
    """One member's header and data padded to a block, without the archive's end marker."""
    return header(name, len(data), kind) + data + bytes(-len(data) % 512)
