# Writes a package with Python's tarfile: make_package.py FORMAT OUT SRC [VARIANT]
# FORMAT ustar, gnu or pax; SRC holds the folder pkg. VARIANT: mac (extended
# attributes as a Mac's archiver writes them), contiguous (the image as a
# type-7 member), device, fifo, dotdot, absolute (one more member of that
# kind).
import sys
import tarfile

fmt, out, src = sys.argv[1], sys.argv[2], sys.argv[3]
variant = sys.argv[4] if len(sys.argv) > 4 else ""
formats = {"ustar": tarfile.USTAR_FORMAT, "gnu": tarfile.GNU_FORMAT, "pax": tarfile.PAX_FORMAT}


def touch(info):
    info.uid = info.gid = 501
    info.uname, info.gname = "ann", "staff"
    if variant == "mac":
        info.pax_headers = {
            "LIBARCHIVE.xattr.com.apple.quarantine": "MDA4MTs2NTAwMDAwMDs7",
            "SCHILY.xattr.com.apple.quarantine": "0081;65000000;;",
            "LIBARCHIVE.xattr.com.apple.FinderInfo": "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=",
            "SCHILY.fflags": "",
            "ctime": "1700000000.123456789",
        }
    if variant == "contiguous" and info.name.endswith("image.bin"):
        info.type = tarfile.CONTTYPE
    return info


with tarfile.open(out, "w", format=formats[fmt]) as t:
    t.add(src + "/pkg", arcname="pkg", filter=touch)
    extra = {"device": ("pkg/mtd", tarfile.CHRTYPE), "fifo": ("pkg/pipe", tarfile.FIFOTYPE),
             "dotdot": ("pkg/../outside", tarfile.REGTYPE), "absolute": ("/tmp/outside", tarfile.REGTYPE)}
    if variant in extra:
        info = tarfile.TarInfo(extra[variant][0])
        info.type = extra[variant][1]
        t.addfile(info)
