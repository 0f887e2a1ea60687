"""VPD and WLF byte scanning, on files built byte by byte."""

import struct

import pytest

from wavequery import PyTrace

PAGE = 8192


def load(tmp_path, loader, data, name="t.bin"):
    path = tmp_path / name
    path.write_bytes(data)
    return loader(str(path))


def strings(*texts):
    return b"".join(t.encode() + b"\x00" for t in texts)


# --- VPD ----------------------------------------------------------------------------------


def vpd(sections, offsets=None):
    """A VPD file: magic, a section table (the sections' offsets unless given), sections."""
    header = bytearray(136)  # sections must start beyond the first 128 bytes
    struct.pack_into("<I", header, 0, 0x12345678)
    data = bytearray(header)
    placed = []
    for section in sections:
        placed.append(len(data))
        data += section
    for j, o in enumerate(offsets if offsets is not None else placed):
        struct.pack_into("<I", data, 48 + 4 * j, o)
    return bytes(data)


def test_vpd_errors(tmp_path):
    with pytest.raises(ValueError, match=r"^VPD file too small$"):
        load(tmp_path, PyTrace.from_vpd, bytes(127))
    with pytest.raises(ValueError, match=r"^Not a VPD file \(magic=0x00000000\)$"):
        load(tmp_path, PyTrace.from_vpd, bytes(128))
    with pytest.raises(ValueError, match=r"^Not a VPD file \(magic=0x1234567A\)$"):
        load(tmp_path, PyTrace.from_vpd, struct.pack("<I", 0x1234567A) + bytes(124))
    with pytest.raises(ValueError, match=r"^Failed to read .*: No such file or directory \(os error 2\)$"):
        PyTrace.from_vpd(str(tmp_path / "nope.vpd"))
    t = load(tmp_path, PyTrace.from_vpd, vpd([]))
    assert t.signal_names() == [] and t.max_index() == 0


def test_vpd_sections_and_windows(tmp_path):
    four = strings("top.a", "top.b", "top.c", "top.d")
    three = strings("x.a", "x.b", "x.c")
    masked = strings("xWithMaskx") + b"\x01" * 20 + strings("mask.sig")
    t = load(tmp_path, PyTrace.from_vpd, vpd([four, three, masked]))
    assert t.signal_names() == ["top.a", "top.b", "top.c", "top.d", "xWithMaskx", "mask.sig"]
    assert t.scopes() == ["mask", "top"] and t.signal_width("top.a") == 1
    assert t.signal_value("top.a", 0) is None and t.max_index() == 0


def test_vpd_section_table(tmp_path):
    four = strings("top.a", "top.b", "top.c", "top.d")
    data = bytearray(vpd([bytes(72) + four, four.replace(b"top", b"mid")]))
    second = 136 + 72 + len(four)
    # Repeated offsets count once; 128 or less, and at or past the end, are ignored. The
    # first section then starts at 136 + 72, where its window holds the four names.
    for j, o in enumerate([second, 136 + 72, second, 0, 128, len(data), 2**32 - 1]):
        struct.pack_into("<I", data, 48 + 4 * j, o)
    t = load(tmp_path, PyTrace.from_vpd, bytes(data))
    assert t.signal_names() == ["top.a", "top.b", "top.c", "top.d", "mid.a", "mid.b", "mid.c", "mid.d"]


VPD_NAMES = [("ab", True), ("_q", True), ("top.u1.sig", True), ("a b", True), ("x-y", True), ("n=3", True),
             ("a$b", True), ("a", False), ("1ab", False), ("a.1b", False), ("a..b", False), ("a.", False),
             ("a/b", False), ("f(x)", False), ("a{b}", False), ("a@b", False)]


def test_vpd_identifier_rules(tmp_path):
    section = strings("top.a", "top.b", "top.c", "top.d") + strings(*[n for n, _ in VPD_NAMES]) + strings("ab")
    t = load(tmp_path, PyTrace.from_vpd, vpd([section]))
    assert t.signal_names() == ["top.a", "top.b", "top.c", "top.d"] + [n for n, ok in VPD_NAMES if ok]


# --- WLF ----------------------------------------------------------------------------------


def wlf_header(area, expected=0, lpstrs=(b"\x03abc", b"\x00", b"\xff")):
    page = bytearray(PAGE)
    pos = 40
    for s in lpstrs:
        page[pos:pos + len(s)] = s
        pos += len(s)
    # Three strings: "abc" read, then an empty one and one of 255 bytes that are not all
    # printable, each moving the position by its length byte only.
    start = 40 + 4 + 1 + 1
    page[start:start + len(area)] = area
    struct.pack_into(">H", page, 2, start + len(area))
    struct.pack_into(">H", page, 24, expected)
    return bytes(page)


def value_page(records, length=None):
    page = bytearray(PAGE)
    page[0:2] = b"\xff\xff"
    struct.pack_into(">H", page, 2, len(records) if length is None else length)
    page[16:16 + len(records)] = records
    page[4:16] = b"\x01" * 12  # enough non-zero bytes
    return bytes(page)


def test_wlf_errors_and_empty(tmp_path):
    with pytest.raises(ValueError, match=r"^WLF file too small \(< 1 page\)$"):
        load(tmp_path, PyTrace.from_wlf, bytes(PAGE - 1))
    with pytest.raises(ValueError, match=r"^Failed to read .*: Is a directory \(os error 21\)$"):
        PyTrace.from_wlf(str(tmp_path))
    t = load(tmp_path, PyTrace.from_wlf, bytes(PAGE))
    assert t.signal_names() == [] and t.scopes() == [] and t.max_index() == 0


def test_wlf_names_from_header_and_pages(tmp_path):
    area = b"\x00top.cpu.clk\x00" + strings("a", "1x", "a/b", "a.1b", "a..b", "a.", "top.cpu.clk", "top.v")
    t = load(tmp_path, PyTrace.from_wlf, wlf_header(area))
    assert t.signal_names() == ["top.cpu.clk", "top.v"] and t.signal_id("top.cpu.clk") == 0
    assert t.scopes() == ["top", "top.cpu"]
    assert load(tmp_path, PyTrace.from_wlf, wlf_header(b"\x00top.cpu.clk\x0a")).signal_names() == []
    # The header promises 3 names and holds 1: pages 1 to 3 are searched, value pages skipped.
    page1 = bytearray(PAGE)
    names = strings("p1.a", "p1.b")
    page1[10:10 + len(names)] = names
    data = wlf_header(strings("hdr"), expected=3) + bytes(page1) + value_page(strings("vp.x")) + bytes(PAGE)
    assert load(tmp_path, PyTrace.from_wlf, data).signal_names() == ["hdr", "p1.a", "p1.b"]
    # Without the promise, the other pages are not searched.
    assert load(tmp_path, PyTrace.from_wlf, wlf_header(strings("hdr")) + bytes(page1)).signal_names() == ["hdr"]


def test_wlf_name_cap(tmp_path):
    names = [f"n{k}" for k in range(1200)]
    page1 = bytearray(PAGE)
    packed = strings(*names)
    page1[:len(packed)] = packed
    t = load(tmp_path, PyTrace.from_wlf, wlf_header(b"", expected=5) + bytes(page1))
    assert len(t.signal_names()) == 1000  # max(E, 1000)


def test_wlf_value_pages(tmp_path):
    header = wlf_header(strings("top.a", "top.b", "top.c"))
    t = load(tmp_path, PyTrace.from_wlf, header + value_page(bytes([1, 7, 0xFF, 1, 9, 0, 2, 5, 0, 3, 4])))
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 1]
    assert t.signal_values_range("top.b", 0, 2) == [7, 9]
    assert t.signal_values_range("top.c", 0, 2) == [None, 5]  # 3 is not below S = 3: skipped
    assert t.signal_values_range("top.a", 0, 2) == [None, None]  # signal 0 never gets a value
    # The index carries over to the next value page; a page without 0xFF stays at it.
    t = load(tmp_path, PyTrace.from_wlf, header + value_page(bytes([1, 1, 0xFF, 0])) + value_page(bytes([2, 2, 1, 3])))
    assert t.max_index() == 1 and t.signal_values_range("top.b", 0, 2) == [1, 3]
    # A record whose second byte lies past the area length is not read; L < 2 pages are skipped.
    t = load(tmp_path, PyTrace.from_wlf, header + value_page(bytes([0xFF, 1, 4]), length=2))
    assert t.max_index() == 1 and t.signal_value("top.b", 1) is None
    quiet = bytearray(value_page(bytes([1, 7])))
    quiet[4:16] = bytes(12)  # fewer than 16 non-zero bytes
    assert load(tmp_path, PyTrace.from_wlf, header + bytes(quiet)).signal_value("top.b", 0) is None


def test_corpus_vpd_and_wlf_files_load_or_fail_cleanly(corpus):
    for path in sorted(corpus.glob("vendor-vpd/**/*.vpd")):
        PyTrace.from_vpd(str(path))
    for path in sorted(corpus.glob("vendor-wlf/**/*.wlf")):
        try:
            PyTrace.from_wlf(str(path))
        except ValueError as e:
            assert str(e) == "WLF file too small (< 1 page)"  # VCD text saved as .wlf
