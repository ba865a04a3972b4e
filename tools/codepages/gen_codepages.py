#!/usr/bin/python3
"""Generates sshlib/core/CodePageData.cpp: the stored mapping texts of the library's code pages.

Inputs (all shipped by Debian):
  - /usr/bin/python3's `encodings` codecs (most Windows, DOS, ISO, Mac and EBCDIC code pages and
    every multi-byte code page),
  - glibc's iconv (through its C interface, by ctypes) and its charmaps in /usr/share/i18n/charmaps
    (the EBCDIC code pages Python lacks, the ISO 646 national variants, ISO 6937),
  - Perl's Encode (Mac Hebrew, Mac Thai, Mac Japanese).
The source of every code page is in SINGLE_BYTE below; approximations are marked "approx".

Stored format of one text: a kind character and standard Base64. Kind "c": the Base64 holds the
bytes E1 A7 94 B3, the body length (32-bit little-endian) and a bzip2 stream of the body. Kind
"x": the Base64 holds the body itself.

Body: byte 0 "a" when bytes 0x00-0x7F are ASCII (their records are then left out), else "x";
byte 1 "u" for a complete body, "d" for a diff body.
Complete body: single-byte records (code increment: 1 byte; Unicode increment: 16-bit LE), a
zero code increment ends them; then double-byte records (code increment and Unicode increment,
both 16-bit LE; the code is lead byte * 256 + trail byte), two zero bytes end them. Increments
wrap, so records may come in any order: the one a code page's encoder picks for a character is
stored first (that one answers from-Unicode lookups), then the codes that only decode, then the
characters that only encode (best fits).
Diff body (Mac Japanese over Shift-JIS, from-Unicode direction only): removed Unicode keys
(16-bit LE, ended by 0000), single-byte mappings (code byte, 16-bit LE Unicode, ended by a 00
code), double-byte mappings (16-bit code lead byte first, 16-bit LE Unicode, ended by 0000).

Also generated: the half-width to full-width katakana table (NFKC of each Shift-JIS half-width
kana, with the voiced and semi-voiced marks 0xDE/0xDF taken to their spacing forms U+309B and
U+309C) and the Shift-JIS pairs of the JIS rows 0x79-0x7C (IBM extension), the inverse of the
fixed FA/FB/FC to JIS mapping of the Shift-JIS to ISO-2022-JP converter.

Usage: gen_codepages.py [--output FILE] [--compare FILE]
With --compare the generated text is compared with FILE instead of being written; the exit status
is 1 when they differ.
"""
import argparse
import base64
import bz2
import codecs
import ctypes
import gzip
import struct
import subprocess
import sys
import unicodedata

# code page -> (stored text name, source, source name[, note])
# Sources: py = Python codec, iconv = glibc iconv, charmap = glibc charmap file,
# perl = Perl Encode, special = built below.
SINGLE_BYTE = {
    37: ("IBM037", "py", "cp037"),
    437: ("IBM437", "py", "cp437"),
    500: ("IBM500", "py", "cp500"),
    708: ("ASMO_708", "iconv", "ASMO-708", "approx: glibc's ASMO-708 (the ISO-8859-6 layout)"),
    720: ("DOS_720", "py", "cp720"),
    737: ("ibm737", "py", "cp737"),
    775: ("ibm775", "py", "cp775"),
    850: ("ibm850", "py", "cp850"),
    852: ("ibm852", "py", "cp852"),
    855: ("IBM855", "py", "cp855"),
    857: ("ibm857", "py", "cp857"),
    858: ("IBM00858", "py", "cp858"),
    860: ("IBM860", "py", "cp860"),
    861: ("ibm861", "py", "cp861"),
    862: ("DOS_862", "py", "cp862"),
    863: ("IBM863", "py", "cp863"),
    864: ("IBM864", "py", "cp864"),
    865: ("IBM865", "py", "cp865"),
    866: ("cp866", "py", "cp866"),
    869: ("ibm869", "py", "cp869"),
    870: ("IBM870", "iconv", "IBM870"),
    874: ("windows_874", "py", "cp874"),
    875: ("cp875", "py", "cp875"),
    1026: ("IBM1026", "py", "cp1026"),
    1047: ("IBM01047", "iconv", "IBM1047"),
    1140: ("IBM01140", "py", "cp1140"),
    1141: ("IBM01141", "iconv", "IBM1141"),
    1142: ("IBM01142", "iconv", "IBM1142"),
    1143: ("IBM01143", "iconv", "IBM1143"),
    1144: ("IBM01144", "iconv", "IBM1144"),
    1145: ("IBM01145", "iconv", "IBM1145"),
    1146: ("IBM01146", "iconv", "IBM1146"),
    1147: ("IBM01147", "iconv", "IBM1147"),
    1148: ("IBM01148", "iconv", "IBM1148"),
    1149: ("IBM01149", "iconv", "IBM1149"),
    1250: ("windows_1250", "py", "cp1250"),
    1251: ("windows_1251", "py", "cp1251"),
    1252: ("windows_1252", "py", "cp1252"),
    1253: ("windows_1253", "py", "cp1253"),
    1254: ("windows_1254", "py", "cp1254"),
    1255: ("windows_1255", "py", "cp1255"),
    1256: ("windows_1256", "py", "cp1256"),
    1257: ("windows_1257", "py", "cp1257"),
    1258: ("windows_1258", "py", "cp1258"),
    10000: ("macintosh", "py", "mac_roman"),
    10004: ("x_mac_arabic", "py", "mac_arabic"),
    10005: ("x_mac_hebrew", "perl", "MacHebrew",
            "approx: Perl's Apple mapping; ASCII for 0x00-0x7F, presentation hints dropped"),
    10006: ("x_mac_greek", "py", "mac_greek"),
    10007: ("x_mac_cyrillic", "py", "mac_cyrillic"),
    10010: ("x_mac_romanian", "py", "mac_romanian"),
    10017: ("x_mac_ukrainian", "iconv", "MAC-UK"),
    10021: ("x_mac_thai", "perl", "MacThai", "approx: Perl's Apple mapping, presentation hints dropped"),
    10029: ("x_mac_ce", "py", "mac_latin2"),
    10079: ("x_mac_icelandic", "py", "mac_iceland"),
    10081: ("x_mac_turkish", "py", "mac_turkish"),
    10082: ("x_mac_croatian", "py", "mac_croatian"),
    20105: ("x_IA5", "charmap", "ISO_646.IRV"),
    20106: ("x_IA5_German", "charmap", "DIN_66003"),
    20107: ("x_IA5_Swedish", "charmap", "SEN_850200_B"),
    20108: ("x_IA5_Norwegian", "charmap", "NS_4551-1"),
    20127: ("us_ascii", "special", "ascii"),
    20261: ("x_cp20261", "special", "iso6937",
            "approx: shared with 20269, ISO 6937 single bytes, accent bytes 0xC1-0xCF as combining marks"),
    20269: ("x_cp20269", "special", "iso6937",
            "approx: glibc's ISO_6937 single bytes, accent bytes 0xC1-0xCF as combining marks"),
    20273: ("IBM273", "py", "cp273"),
    20277: ("IBM277", "iconv", "IBM277"),
    20278: ("IBM278", "iconv", "IBM278"),
    20280: ("IBM280", "iconv", "IBM280"),
    20284: ("IBM284", "iconv", "IBM284"),
    20285: ("IBM285", "iconv", "IBM285"),
    20290: ("IBM290", "iconv", "IBM290"),
    20297: ("IBM297", "iconv", "IBM297"),
    20420: ("IBM420", "iconv", "IBM420"),
    20423: ("IBM423", "iconv", "IBM423"),
    20424: ("IBM424", "py", "cp424"),
    20838: ("IBM_Thai", "iconv", "IBM1160",
            "approx: glibc has no IBM838; IBM1160 (the same layout with the euro sign) is used"),
    20866: ("koi8_r", "py", "koi8_r"),
    20871: ("IBM871", "iconv", "IBM871"),
    20880: ("IBM880", "iconv", "IBM880"),
    20905: ("IBM905", "iconv", "IBM905"),
    20924: ("IBM00924", "special", "ibm924",
            "approx: no published table here; IBM1047 with the eight Latin-9 replacements"),
    21025: ("cp1025", "iconv", "IBM1025"),
    21866: ("koi8_u", "py", "koi8_u"),
    28591: ("iso_8859_1", "py", "cp1252", "the Windows-1252 mapping, as the library always used"),
    28592: ("iso_8859_2", "py", "iso8859_2"),
    28593: ("iso_8859_3", "py", "iso8859_3"),
    28594: ("iso_8859_4", "py", "iso8859_4"),
    28595: ("iso_8859_5", "py", "iso8859_5"),
    28596: ("iso_8859_6", "py", "iso8859_6"),
    28597: ("iso_8859_7", "py", "iso8859_7"),
    28598: ("iso_8859_8", "py", "iso8859_8"),
    28599: ("iso_8859_9", "py", "iso8859_9"),
    28603: ("iso_8859_13", "py", "iso8859_13"),
    28605: ("iso_8859_15", "py", "iso8859_15"),
    38598: ("iso_8859_8_i", "py", "iso8859_8"),
}

# Texts shared by several code pages: code page -> the code page whose text it uses.
SHARED = {28591: 1252, 20261: 20269}

# function name -> (Python codec, code page, bucket note)
MULTI_BYTE = [
    ("GetEncShiftJis", "cp932", 932),
    ("GetGb2312", "gbk", 936),
    ("GetKorean", "cp949", 949),
    ("GetBig5", "cp950", 950),
    ("GetJohab", "johab", 1361),
    ("GetEucJP", "euc_jp", 51932),
    ("GetEucKR", "euc_kr", 51949),
]

PIECE = 400

# ------------------------------------------------------------------------------------------------
# glibc iconv through its C interface.
_libc = ctypes.CDLL("libc.so.6", use_errno=True)
_libc.iconv_open.restype = ctypes.c_void_p
_libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
_libc.iconv.restype = ctypes.c_size_t
_libc.iconv.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t),
                        ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t)]
_libc.iconv_close.argtypes = [ctypes.c_void_p]


def iconv_decode(name, data):
    """Decodes bytes with glibc; None when glibc refuses them."""
    cd = _libc.iconv_open(b"UTF-32LE", name.encode())
    if cd in (None, ctypes.c_void_p(-1).value):
        raise SystemExit("glibc iconv does not know " + name)
    try:
        inbuf = ctypes.create_string_buffer(bytes(data), len(data))
        outbuf = ctypes.create_string_buffer(64)
        inp = ctypes.c_char_p(ctypes.addressof(inbuf))
        outp = ctypes.c_char_p(ctypes.addressof(outbuf))
        inleft = ctypes.c_size_t(len(data))
        outleft = ctypes.c_size_t(64)
        r = _libc.iconv(cd, ctypes.byref(inp), ctypes.byref(inleft), ctypes.byref(outp), ctypes.byref(outleft))
        if r == ctypes.c_size_t(-1).value or inleft.value != 0:
            return None
        n = 64 - outleft.value
        return outbuf.raw[:n].decode("utf-32-le")
    finally:
        _libc.iconv_close(cd)


def charmap_single_bytes(name):
    """Single-byte entries of a glibc charmap file: byte -> character."""
    out = {}
    with gzip.open("/usr/share/i18n/charmaps/%s.gz" % name, "rt", encoding="latin-1") as f:
        in_map = False
        for line in f:
            if line.startswith("CHARMAP"):
                in_map = True
                continue
            if line.startswith("END CHARMAP"):
                break
            if not in_map or not line.startswith("<U"):
                continue
            parts = line.split()
            code = parts[1]
            if code.count("/x") != 1:
                continue
            u = int(parts[0][2:parts[0].index(">")], 16)
            b = int(code[2:4], 16)
            if u <= 0xFFFF and not 0xE000 <= u <= 0xF8FF and b not in out:
                out[b] = chr(u)
    return out


def perl_decode_bytes(name):
    """Perl Encode's decoding of every byte 1-255: byte -> list of code points."""
    script = r'''
use Encode; my $n = shift;
for my $b (1..255) { my $s = chr($b); my $u = eval { decode($n, $s, Encode::FB_CROAK) };
  if (defined $u) { printf "%02X %s\n", $b, join(",", map { sprintf "%04X", ord } split //, $u); } }
'''
    res = subprocess.run(["/usr/bin/perl", "-e", script, name], check=True, capture_output=True, text=True)
    out = {}
    for line in res.stdout.splitlines():
        b, us = line.split()
        out[int(b, 16)] = [int(x, 16) for x in us.split(",")]
    return out


def reduce_apple(cps):
    """Apple's sequences carry presentation hints: keep the first character unless it is one."""
    if not cps or 0xE000 <= cps[0] <= 0xF8FF:
        return None
    return chr(cps[0])


# ------------------------------------------------------------------------------------------------
# Single-byte mappings: byte -> character (bytes 1-255).

def single_byte_map(cp):
    name, src, sname = SINGLE_BYTE[cp][:3]
    m = {}
    if src == "py":
        for b in range(1, 256):
            try:
                s = bytes([b]).decode(sname)
            except UnicodeDecodeError:
                continue
            if len(s) == 1:
                m[b] = s
    elif src == "iconv":
        for b in range(1, 256):
            s = iconv_decode(sname, bytes([b]))
            if s is not None and len(s) == 1 and ord(s) <= 0xFFFF:
                m[b] = s
    elif src == "charmap":
        m = {b: c for b, c in charmap_single_bytes(sname).items() if b != 0}
    elif src == "perl":
        for b, cps in perl_decode_bytes(sname).items():
            c = reduce_apple(cps)
            if c is not None:
                m[b] = c
        if cp == 10005:
            # The Apple table splits ASCII punctuation by writing direction; the code page keeps
            # 0x00-0x7F as ASCII.
            for b in range(1, 0x80):
                m[b] = chr(b)
    elif sname == "iso6937":
        m = {b: c for b, c in charmap_single_bytes("ISO_6937").items() if b != 0}
        accents = {0xC1: 0x300, 0xC2: 0x301, 0xC3: 0x302, 0xC4: 0x303, 0xC5: 0x304, 0xC6: 0x306,
                   0xC7: 0x307, 0xC8: 0x308, 0xCA: 0x30A, 0xCB: 0x327, 0xCD: 0x30B, 0xCE: 0x328,
                   0xCF: 0x30C}
        for b, u in accents.items():
            m[b] = chr(u)
    elif sname == "ibm924":
        latin9 = {"\u00a4": "\u20ac", "\u00a6": "\u0160", "\u00a8": "\u0161", "\u00b4": "\u017d",
                  "\u00b8": "\u017e", "\u00bc": "\u0152", "\u00bd": "\u0153", "\u00be": "\u0178"}
        for b in range(1, 256):
            s = iconv_decode("IBM1047", bytes([b]))
            if s is not None and len(s) == 1:
                m[b] = latin9.get(s, s)
    elif sname == "ascii":
        m = {b: chr(b) for b in range(1, 0x80)}
    else:
        raise SystemExit("unknown source for %d" % cp)
    return m


def lower_ascii(m):
    return all(m.get(b) == chr(b) for b in range(1, 0x80))


# ------------------------------------------------------------------------------------------------
# Body writers.

def complete_body(flag_a, singles, doubles):
    """singles/doubles: ordered lists of (code, unicode)."""
    out = bytearray(b"a" if flag_a else b"x")
    out += b"u"
    code = 0
    uni = 0
    for c, u in singles:
        inc = (c - code) & 0xFF
        assert inc != 0
        out += struct.pack("<BH", inc, (u - uni) & 0xFFFF)
        code, uni = c, u
    out += b"\0"
    code = 0
    uni = 0
    for c, u in doubles:
        inc = (c - code) & 0xFFFF
        assert inc != 0
        out += struct.pack("<HH", inc, (u - uni) & 0xFFFF)
        code, uni = c, u
    out += b"\0\0"
    return bytes(out)


def stored_text(body, kind="c"):
    if kind == "x":
        return "x" + base64.b64encode(body).decode()
    packed = b"\xe1\xa7\x94\xb3" + struct.pack("<I", len(body)) + bz2.compress(body, 9)
    return "c" + base64.b64encode(packed).decode()


def iconv_encode(name, ch):
    cd = _libc.iconv_open(name.encode(), b"UTF-32LE")
    try:
        data = ch.encode("utf-32-le")
        inbuf = ctypes.create_string_buffer(data, len(data))
        outbuf = ctypes.create_string_buffer(16)
        inp = ctypes.c_char_p(ctypes.addressof(inbuf))
        outp = ctypes.c_char_p(ctypes.addressof(outbuf))
        inleft = ctypes.c_size_t(len(data))
        outleft = ctypes.c_size_t(16)
        r = _libc.iconv(cd, ctypes.byref(inp), ctypes.byref(inleft), ctypes.byref(outp), ctypes.byref(outleft))
        if r == ctypes.c_size_t(-1).value or inleft.value != 0:
            return None
        return outbuf.raw[:16 - outleft.value]
    finally:
        _libc.iconv_close(cd)


def encoder_choice(cp, ch):
    """The byte the code page's own encoder writes for a character, when the source has one."""
    src, sname = SINGLE_BYTE[cp][1:3]
    if src == "py":
        try:
            e = ch.encode(sname)
        except UnicodeEncodeError:
            return None
    elif src == "iconv":
        e = iconv_encode(sname, ch)
    else:
        return None
    return e[0] if e is not None and len(e) == 1 else None


def single_byte_body(cp):
    m = single_byte_map(cp)
    flag_a = lower_ascii(m)
    codes = sorted(b for b in m if not (flag_a and b < 0x80))
    # The first record of a character answers from-Unicode lookups: the byte the source's
    # encoder picks, else the lowest byte.
    first, rest, seen = [], [], set()
    for b in codes:
        u = ord(m[b])
        choice = encoder_choice(cp, m[b])
        if choice is not None and choice != b and choice in m and ord(m[choice]) == u:
            rest.append((b, u))
            continue
        (rest if u in seen else first).append((b, u))
        seen.add(u)
    return complete_body(flag_a, first + rest, [])


def ascii_body():
    # Only the best fit of the no-break space: 0x00-0x7F come from the lower-ASCII flag.
    return complete_body(True, [(0x20, 0xA0)], [])


def multi_byte_maps(codec):
    """Decoding of every 1- and 2-byte code (BMP results only) and the encoder's choices."""
    dec = {}
    for b in range(0x80, 0x100):
        try:
            s = bytes([b]).decode(codec)
            if len(s) == 1:
                dec[b] = ord(s)
        except UnicodeDecodeError:
            pass
    for lead in range(0x81, 0x100):
        if lead in dec:
            continue
        for trail in range(0x21, 0x100):
            try:
                s = bytes([lead, trail]).decode(codec)
            except UnicodeDecodeError:
                continue
            if len(s) == 1 and ord(s) <= 0xFFFF:
                dec[lead * 256 + trail] = ord(s)
    enc = {}
    for u in range(0x80, 0x10000):
        if 0xD800 <= u <= 0xDFFF:
            continue
        try:
            e = chr(u).encode(codec)
        except UnicodeEncodeError:
            continue
        if len(e) == 1:
            enc[u] = e[0]
        elif len(e) == 2:
            enc[u] = e[0] * 256 + e[1]
    return dec, enc


def ordered_records(dec, enc):
    """Records in the order that makes the first one of a character the encoder's choice."""
    a = sorted((c, u) for c, u in dec.items() if enc.get(u) == c)
    b = sorted((c, u) for c, u in dec.items() if enc.get(u) != c)
    c_only = sorted((c, u) for u, c in enc.items() if dec.get(c) != u)
    return a + b + c_only


def multi_byte_body(codec):
    dec, enc = multi_byte_maps(codec)
    recs = ordered_records(dec, enc)
    singles = [(c, u) for c, u in recs if c < 0x100]
    doubles = [(c, u) for c, u in recs if c >= 0x100]
    return complete_body(True, singles, doubles), dec, enc


def from_unicode_of(singles_doubles, flag_a):
    table = {}
    for c, u in singles_doubles:
        table.setdefault(u, c)
    return table


def perl_mac_japanese():
    script = r'''
use Encode; binmode STDOUT;
my %dec;
for my $b (1..255) { my $s = chr($b); my $u = eval { decode("MacJapanese", $s, Encode::FB_CROAK) };
  printf "D %04X %s\n", $b, join(",", map { sprintf "%04X", ord } split //, $u) if defined $u; }
for my $l (0x81..0xFC) { for my $t (0x40..0xFC) { my $s = chr($l).chr($t);
  my $u = eval { decode("MacJapanese", $s, Encode::FB_CROAK) };
  printf "D %04X %s\n", $l*256+$t, join(",", map { sprintf "%04X", ord } split //, $u) if defined $u; } }
for my $c (1..0xFFFF) { next if $c >= 0xD800 && $c <= 0xDFFF; my $s = chr($c);
  my $e = eval { encode("MacJapanese", $s, Encode::FB_CROAK) };
  next unless defined $e && length($e) >= 1 && length($e) <= 2;
  my $v = 0; $v = $v * 256 + ord($_) for split //, $e; printf "E %04X %04X %d\n", $c, $v, length($e); }
'''
    res = subprocess.run(["/usr/bin/perl", "-e", script], check=True, capture_output=True, text=True)
    enc = {}
    for line in res.stdout.splitlines():
        f = line.split()
        if f[0] == "E":
            enc[int(f[1], 16)] = (int(f[2], 16), int(f[3]))
    return enc


def mac_japanese_diff(sjis_recs):
    """Diff of Mac Japanese's from-Unicode table over Shift-JIS's (stored lower-ASCII flag off:
    Mac Japanese puts the yen sign at 0x5C)."""
    base = {}
    for c, u in sjis_recs:
        base.setdefault(u, c)
    for b in range(1, 0x80):  # the Shift-JIS table answers these through its lower-ASCII flag
        base[b] = b
    mac = perl_mac_japanese()
    removals = sorted(u for u in base if u not in mac)
    singles = []
    doubles = []
    for u in sorted(mac):
        code, length = mac[u]
        if base.get(u) == code and not (u < 0x80):
            continue
        if length == 1:
            singles.append((code, u))
        else:
            doubles.append((code, u))
    out = bytearray(b"xd")
    for u in removals:
        out += struct.pack("<H", u)
    out += b"\0\0"
    for c, u in singles:
        out += struct.pack("<BH", c, u)
    out += b"\0"
    for c, u in doubles:
        out += struct.pack(">H", c) + struct.pack("<H", u)
    out += b"\0\0"
    return bytes(out)


# ------------------------------------------------------------------------------------------------
# Japanese converter tables.

def kana_table():
    rows = []
    for k in range(0xA1, 0xE0):
        if k == 0xDE:
            full = "\u309b"
        elif k == 0xDF:
            full = "\u309c"
        else:
            full = unicodedata.normalize("NFKC", bytes([k]).decode("cp932"))
        e = full.encode("cp932")
        assert len(e) == 2, hex(k)
        rows.append(e)
    return rows


def last_block_table():
    table = [b"\0\0"] * 376
    ranges = [
        (0xFA, 0x40, 0x49, 0x7C, 0x31), (0xFA, 0x55, 0x57, 0x7C, 0x27), (0xFA, 0x5C, 0x7E, 0x79, -0x3B),
        (0xFA, 0x80, 0xBA, 0x79, -0x3C), (0xFA, 0xBB, 0xFC, 0x7A, 0x66), (0xFB, 0x40, 0x5B, 0x7A, 0x23),
        (0xFB, 0x5C, 0x7E, 0x7B, -0x3B), (0xFB, 0x80, 0xBA, 0x7B, -0x3C), (0xFB, 0xBB, 0xFC, 0x7C, 0x66),
        (0xFC, 0x40, 0x4B, 0x7C, 0x23),
    ]
    for lead, lo, hi, row, delta in ranges:
        for c in range(lo, hi + 1):
            col = (c + delta) & 0xFF
            table[(row - 0x79) * 94 + (col - 0x21)] = bytes([lead, c])
    return base64.b64encode(b"".join(table)).decode()


# ------------------------------------------------------------------------------------------------
# Output.

def c_string_lines(text, indent="    "):
    lines = []
    for i in range(0, len(text), 100):
        lines.append('%s"%s"' % (indent, text[i:i + 100]))
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--output", default="sshlib/core/CodePageData.cpp")
    ap.add_argument("--compare")
    args = ap.parse_args()

    out = []
    out.append("// Generated by tools/codepages/gen_codepages.py; do not edit.")
    out.append("// clang-format off")
    out.append("// Mapping texts of the code-page tables (kind character + Base64 of the stored body).")
    out.append('#include "sshlib/core/CodePageData.h"')
    out.append('#include "sshlib/core/StringBuffer.h"')
    # Each piece is one long literal written over several lines, on purpose.
    out.append("#ifdef __clang__")
    out.append('#pragma clang diagnostic ignored "-Wstring-concatenation"')
    out.append("#endif")
    out.append("")

    texts = {}
    for cp in sorted(SINGLE_BYTE):
        if cp in SHARED:
            continue
        if cp == 20127:
            texts[cp] = stored_text(ascii_body(), "x")
        else:
            texts[cp] = stored_text(single_byte_body(cp))
        print("cp %d: %d chars" % (cp, len(texts[cp])), file=sys.stderr)
    for cp in sorted(SINGLE_BYTE):
        if cp not in SHARED:
            name = SINGLE_BYTE[cp][0]
            out.append("static constexpr const char *_Enc_%s =\n%s;" % (name, c_string_lines(texts[cp])))
    for cp in sorted(SHARED):
        out.append("static constexpr const char *_Enc_%s = _Enc_%s;" % (SINGLE_BYTE[cp][0], SINGLE_BYTE[SHARED[cp]][0]))
    out.append("")

    # Multi-byte texts, in pieces of 400 characters.
    sjis_recs = None
    for fn, codec, cp in MULTI_BYTE:
        body, dec, enc = multi_byte_body(codec)
        if cp == 932:
            sjis_recs = ordered_records(dec, enc)
        text = stored_text(body)
        print("%s: body %d, text %d" % (fn, len(body), len(text)), file=sys.stderr)
        pieces = [text[i:i + PIECE] for i in range(0, len(text), PIECE)]
        out.append("static const char *const k%sPieces[] = {" % fn[3:])
        for p in pieces:
            out.append("%s," % c_string_lines(p))
        out.append("};")
        out.append("void %s(StringBuffer &sb) {" % fn)
        out.append("  for (const char *p : k%sPieces) sb.append(p);" % fn[3:])
        out.append("}")
        out.append("")
    out.append("void GetEucCN(StringBuffer &sb) { GetGb2312(sb); }")
    out.append("")

    diff = mac_japanese_diff(sjis_recs)
    out.append("extern const char *const _Enc_x_mac_japanese;")
    out.append("const char *const _Enc_x_mac_japanese =\n%s;" % c_string_lines(stored_text(diff)))
    out.append("")

    out.append("const unsigned char _mtable[63][2] = {")
    rows = kana_table()
    for i in range(0, 63, 8):
        out.append("    " + " ".join("{0x%02X, 0x%02X}," % (r[0], r[1]) for r in rows[i:i + 8]))
    out.append("};")
    out.append("")
    out.append("extern const char *const _sjis_from_2022_lastblock64;")
    out.append("const char *const _sjis_from_2022_lastblock64 =\n%s;" % c_string_lines(last_block_table()))
    out.append("")

    out.append("const char *singleByteStoredText(int codePage) {")
    out.append("  switch (codePage) {")
    for cp in sorted(SINGLE_BYTE):
        out.append("  case %d:\n    return _Enc_%s;" % (cp, SINGLE_BYTE[cp][0]))
    out.append("  default:\n    return nullptr;\n  }\n}")
    out.append("")
    text = "\n".join(out)
    if args.compare:
        with open(args.compare) as f:
            if f.read() != text:
                print("%s differs from the generated tables" % args.compare)
                return 1
        return 0
    with open(args.output, "w") as f:
        f.write(text)
    for cp in sorted(SINGLE_BYTE):
        if len(SINGLE_BYTE[cp]) > 3:
            print("note %d: %s" % (cp, SINGLE_BYTE[cp][3]), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
