"""A small FST writer for tests: builds files with exactly the layout a test
needs (position-table generation, aliases, packed reals, damaged fields),
with raw sections and a gzip hierarchy."""

import gzip
import math
import struct


def varint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def svarint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        done = (n == 0 and not byte & 0x40) or (n == -1 and byte & 0x40)
        out.append(byte | (0 if done else 0x80))
        if done:
            return bytes(out)


def block(kind, payload):
    return bytes([kind]) + struct.pack(">Q", len(payload) + 8) + payload


def header(start=0, end=0, max_handle=0, blocks=1):
    b = bytearray(330)
    struct.pack_into(">QQQ", b, 1, 329, start, end)
    b[25:33] = struct.pack("<d", math.e)
    struct.pack_into(">QQQQQ", b, 33, 0, 1, max_handle, max_handle, blocks)
    b[73] = 0xF7  # 1 ns
    b[74:82] = b"fstbuild"
    return bytes(b)


def geometry(codes, handles=None):
    data = b"".join(varint(c) for c in codes)
    return block(3, struct.pack(">QQ", len(data), len(codes) if handles is None else handles) + data)


def scope(name):
    return b"\xfe\x00" + name.encode() + b"\x00\x00"


UPSCOPE = b"\xff"


def var(name, length, alias=0, kind=16):
    return bytes([kind, 0]) + name.encode() + b"\x00" + varint(length) + varint(alias)


def hierarchy(records):
    return block(4, struct.pack(">Q", len(records)) + gzip.compress(records))


# Records of one signal's stream; `delta` moves through the block's time table.
def bit(delta, value):
    return varint(delta << 2 | value << 1)


def bit_code(delta, code):  # 0..7: x z h u w l - ?
    return varint(delta << 4 | code << 1 | 1)


def vector(delta, bits):
    packed = int(bits, 2) << (-len(bits) % 8)
    return varint(delta << 1) + packed.to_bytes((len(bits) + 7) // 8, "big")


def chars(delta, text):
    return varint(delta << 1 | 1) + text.encode()


def real(delta, value):
    return varint(delta << 1 | 1) + struct.pack("<d", value)


def text(delta, value):
    return varint(delta << 1) + varint(len(value)) + value


def value_block(times, streams, frame=b"", frame_handles=0, begin=None, gen=8, pack=b"Z"):
    """A value-change block. `streams[i]` is index i's stream bytes, None for
    no data, or ("alias", j) to reuse index j's stream."""
    waves = bytearray(pack)
    last = 0
    table = bytearray()
    for entry in streams:
        if entry is None:
            table += varint(2)  # the next one index has no data
        elif isinstance(entry, tuple):
            source = entry[1]
            table += svarint(-(source + 1) << 1 | 1) if gen == 8 else varint(0) + varint(source + 1)
        else:
            offset = len(waves)
            waves += varint(0) + entry  # length 0: stored raw
            delta, last = offset - last, offset
            table += svarint(delta << 1 | 1) if gen == 8 else varint(delta << 1 | 1)
    deltas, before = [], 0
    for t in times:
        deltas.append(t - before)
        before = t
    time_data = b"".join(varint(d) for d in deltas)
    begin = times[0] if begin is None else begin
    payload = (struct.pack(">QQQ", begin, times[-1] if times else begin, 0)
               + varint(len(frame)) + varint(len(frame)) + varint(frame_handles) + frame
               + varint(len(streams)) + bytes(waves) + bytes(table) + struct.pack(">Q", len(table))
               + time_data + struct.pack(">QQQ", len(time_data), len(time_data), len(times)))
    return block(gen, payload)


def fst_file(records, codes, blocks):
    return header(max_handle=len(codes), blocks=len(blocks)) + b"".join(blocks) + geometry(codes) + hierarchy(records)
