"""IMX v2 container writer.

Layout (little-endian): b"IMX\\0", u16 version, u16 member count, then per
member u16 name length, the UTF-8 name, u64 payload offset, u64 payload size;
payloads are raw bytes at their offsets. With the defaults (sorted names,
64-byte alignment, no trailing padding) the output is byte-identical to
`vozaz pack`.
"""
import os
import struct


def bundle_members(directory):
    """(name, path) of every regular file below directory, '/'-separated names."""
    members = []
    for root, _dirs, files in os.walk(directory):
        for f in files:
            path = os.path.join(root, f)
            if os.path.isfile(path):
                members.append((os.path.relpath(path, directory).replace(os.sep, "/"), path))
    return members


def _align(n, a):
    return (n + a - 1) // a * a


def write_imx(out, members, align=64, order="sorted", version=2, gap=0):
    """members: list of (name, path-or-bytes). order: "sorted", "reversed" or "given".

    Payloads are placed in table order unless order == "reversed", in which
    case the table stays sorted but the payloads are laid out back to front,
    so readers cannot assume payload order follows the table.
    """
    members = sorted(members) if order in ("sorted", "reversed") else list(members)
    names = [n.encode("utf-8") for n, _ in members]
    toc = 8 + sum(2 + len(n) + 16 for n in names)
    sizes = [len(p) if isinstance(p, bytes) else os.path.getsize(p) for _, p in members]
    layout = list(range(len(members)))
    if order == "reversed":
        layout.reverse()
    offsets = [0] * len(members)
    at = _align(toc, align)
    for i in layout:
        offsets[i] = at
        at = _align(at + sizes[i] + gap, align)
    tmp = out + ".part"
    with open(tmp, "wb") as f:
        f.write(b"IMX\0" + struct.pack("<HH", version, len(members)))
        for n, off, size in zip(names, offsets, sizes):
            f.write(struct.pack("<H", len(n)) + n + struct.pack("<QQ", off, size))
        for (_, payload), off in zip(members, offsets):
            f.seek(off)
            if isinstance(payload, bytes):
                f.write(payload)
            else:
                with open(payload, "rb") as src:
                    while chunk := src.read(8 << 20):
                        f.write(chunk)
        f.truncate(max([toc] + [off + s for off, s in zip(offsets, sizes)]))
    os.replace(tmp, out)
