"""A newc cpio archive, the format the kernel unpacks an initramfs from."""

import stat


def _header(ino, mode, size, name, nlink=1, rdev=(0, 0)):
    fields = [ino, mode, 0, 0, nlink, 0, size, 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
    return b"070701" + b"".join(b"%08x" % field for field in fields)


def _pad(length):
    return b"\0" * ((4 - length % 4) % 4)


def archive(entries):
    """The archive of `entries`, a list of (path, mode, data) where mode carries the file type
    (stat.S_IFDIR, S_IFREG, S_IFLNK, or S_IFCHR whose data is its (major, minor); a link's data
    is its target). Paths are relative."""
    out = bytearray()
    for ino, (path, mode, data) in enumerate(entries, start=1):
        name = path.encode()
        rdev = data if stat.S_ISCHR(mode) else (0, 0)
        data = data if stat.S_ISREG(mode) or stat.S_ISLNK(mode) else b""
        nlink = 2 if stat.S_ISDIR(mode) else 1
        head = _header(ino, mode, len(data), name, nlink, rdev) + name + b"\0"
        out += head + _pad(len(head)) + data + _pad(len(data))
    trailer = _header(0, 0, 0, b"TRAILER!!!") + b"TRAILER!!!\0"
    out += trailer + _pad(len(trailer))
    return bytes(out)
