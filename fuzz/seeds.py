#!/usr/bin/env python3
"""Writes the seed corpora of the request, configuration and page harnesses
into fuzz/corpus/ (the message seeds were written out by the library's own
builders and msg_makeXML, plus a few hand-made ones).

Run from the repository root; the corpora are committed, so this is needed
only to change them."""
import io
import os
import struct
import tarfile

BOUNDARY = b"----DornixSeed"


def cksum(data):
    """The POSIX cksum CRC."""
    crc = 0
    def feed(b):
        nonlocal crc
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    for b in data:
        feed(b)
    n = len(data)
    while n:
        feed(n & 0xFF)
        n >>= 8
    return ~crc & 0xFFFFFFFF


def tagged(magic, payload):
    content = struct.pack("<I", magic) + payload
    return content + struct.pack("<II", 0xC453DE23, cksum(content))


def body(parts):
    out = b""
    for name, data, filename, ctype in parts:
        out += b"--" + BOUNDARY + b"\r\n"
        out += b'Content-Disposition: form-data; name="' + name + b'"'
        if filename:
            out += b'; filename="' + filename + b'"'
        out += b"\r\n"
        if ctype:
            out += b"Content-Type: " + ctype + b"\r\n"
        out += b"\r\n" + data + b"\r\n"
    return out + b"--" + BOUNDARY + b"--\r\n"


def request(parts, method=b"POST", length=b"700000"):
    return method + b"\n" + length + b"\n" + body(parts)


def upload(data, ctype=b"application/octet-stream"):
    return request([(b"upgrade", b"1", None, None), (b"UploadFile", data, b"fw.img", ctype)])


def archive(members):
    """A tar archive of (name, type, data, link) members, reproducible."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as t:
        for name, kind, data, link in members:
            info = tarfile.TarInfo(name)
            info.type, info.size, info.linkname, info.mode, info.mtime = kind, len(data), link, 0o755, 0
            t.addfile(info, io.BytesIO(data))
    return out.getvalue()


PACKAGE = [("pkg", tarfile.DIRTYPE, b"", ""), ("pkg/fw.inf", tarfile.REGTYPE, b"1\n", ""),
           ("pkg/fw_exec.sh", tarfile.REGTYPE, b"#!/bin/sh\nexit 0\n", ""),
           ("pkg/image.bin", tarfile.REGTYPE, tagged(0x73717368, b"squash" * 10), "")]

CONFIG = (b"<?XML-VERSION 1.0?>\r\n<config>\r\n  <a x=\"1\">5</a>\r\n  <b/>\r\n"
          b"  <!-- note -->\r\n  <c>&#38;&#x41;</c>\r\n</config>\r\n")

requests = {
    "get_log0": request([(b"get_log0", b"1", None, None)]),
    "get_log1": request([(b"get_log1", b"1", None, None)]),
    "get_log2": request([(b"get_log2", b"1", None, None)]),
    "config": request([(b"upgrade", b"1", None, None), (b"config", b"1", None, None)]),
    "reboot": request([(b"reboot.x", b"3", None, None), (b"reboot.y", b"4", None, None)]),
    "get": b"GET\n-\n",
    "no_length": upload(b"x", ) .replace(b"700000", b"-", 1),
    "short_length": upload(b"x").replace(b"700000", b"655359", 1),
    "squashfs": upload(tagged(0x73717368, b"\0\r\n\rsquash\n" * 20)),
    "cramfs": upload(tagged(0x28CD3D45, b"cram" * 30)),
    "jffs2": upload(tagged(0xE0011985, b"\x85\x19" * 40)),
    "kernel": upload(tagged(0xFEEDFA42, bytes(range(256)))),
    "untagged": upload(b"hsqs" + b"a" * 100),
    "text": upload(tagged(0x73717368, b"line\n" * 10), b"text/html"),
    "config_upload": upload(CONFIG[CONFIG.index(b"<config>"):]),
    "no_content_type": request([(b"UploadFile", b"<config/>", b"c.xml", None)]),
    "package": upload(archive(PACKAGE)),
    "package_link": upload(archive(PACKAGE + [("pkg/mtd", tarfile.SYMTYPE, b"", "/dev/mtdblock")])),
}

configs = {
    "plain": CONFIG,
    "attributes": b"<config>\n<?XML-ATT a=\"1\"?>\n<a b='2' c=\"&#x41;\"/>\n</config>\n",
    "encoding": b"<?XML-ENCODING ISO-8859-1?>\n<config><a>x\ry</a></config>",
    "mixed": b"<a>x<b>1</b>y</a>",
    "refused": b"<config><a>x &amp; y</a></config>",
    "blank_lines": b"<config>\n\n\n<a>1</a>\r\n\r\n<b>\n2\n</b></config>",
    # Padded to the request minimum: a run of LFs at the end, after content,
    # inside a tag, after a name that takes the blanks after it.
    "padded": CONFIG + b"\n" * 3000,
    "padded_in_tag": b"<config><a\r" + b"\n" * 40,
    "padded_name": b"<config><a>1</a \r" + b"\n" * 40,
    "padded_text": b"<config><a>1\r" + b"\n" * 40,
    # NULs: padding after the last tag, inside text, a value and a comment.
    "padded_nul": CONFIG + b"\0" * 2000,
    "nul_inside": b"<config><a x=\"\0\1\">\0\1</a><!--\0--><b\0/></config>",
}


def http(page, status=b"200 OK"):
    return b"HTTP/1.0 " + status + b"\r\nContent-Type: text/html\r\n\r\n" + page


SSID_PAGE = b"\n".join(
    b'<input type="hidden" name="ap:settings/' + k + b'" value="' + v + b'" id="x' + k + b'">'
    for k, v in [(b"channel", b"6"), (b"ssid", b"home net"), (b"privacy_type", b"1"),
                 (b"interval", b"100"), (b"psktype", b"0"), (b"wep_auth_type", b"1"),
                 (b"wep_privacy", b"64"), (b"ap_enabled", b"1\" id=\"uiPostAPEnabled")])
pages = {
    "access": b"\0" + http(b"<title>Kestrelon</title>"),
    "login": b"\0" + http(b"Unauthorized", b"401 Unauthorized"),
    "connection": b"\1" + http(b"connection0 pppoe up"),
    "ap_enabled": b"\2" + http(SSID_PAGE),
    "quoted": b"\3" + http(b"var con_name[con_cnt] = \"connection0\";\nKestrelon"),
    "backup": b"\4" + http(b"Kestrelon pppoe " + SSID_PAGE),
    "ssid_page": b"\5" + http(SSID_PAGE + b"\nap:settings/beacon\" value=\"100\" id"),
    "access_list": b"\6" + http(b"Kestrelon\nlist_init[i++]='00:11:22:33:44:55';\n"
                                 b"ap:settings/access_type\" value=\"1\" id"),
    "field": b"\7" + b'<input name="ap:settings/ssid" value="home" id="s">\0ap:settings/ssid" value="',
    "version": b"\x08" + b"GW-4.12.03.1.7-gw2210",
    "interim_page": b"\0" + b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
                    b"Link: </401.css>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nKestrelon",
    "interim_chunked": b"\x01" + b"HTTP/1.1 102 Processing\n\nHTTP/1.1 200 OK\r\n"
                       b"Transfer-Encoding: chunked\r\n\r\n5\r\npppoe\r\n0\r\n\r\n",
    "interim_only": b"\x04" + b"HTTP/1.1 100 Continue\r\n\r\n" * 3,
    "value_lines": b"\x05" + http(SSID_PAGE.replace(b'"home net"', b'"home\nnet\r\x00x"')),
    "framing": b"\x1d" + b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"
               b"Content-Length: 4\r\n\r\nbody",
}


def write(dirname, seeds):
    os.makedirs(dirname, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(dirname, name), "wb") as f:
            f.write(data)


write("fuzz/corpus/request_fuzz", requests)
write("fuzz/corpus/config_fuzz", configs)
write("fuzz/corpus/pages_fuzz", pages)
