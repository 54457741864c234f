#!/usr/bin/env python3
"""Writes the small seed corpora of the stream and frame fuzz targets.

Run: fuzz/make_stream_corpus.py. The files are committed;
rerun only to change the seeds.
"""
import hashlib
import json
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
FEATURE_ID = bytes.fromhex("01a0b0d497d67083bd74ab53fb6f92a0")
MAX_CHUNK = 1338


def write(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def frame(value, payload, fid=FEATURE_ID):
    return fid + varint(value) + varint(len(payload)) + payload


def chunk(frame_id, chunk_id, total, payload):
    b = struct.pack("<QHHI", frame_id, chunk_id, total, len(payload)) + payload
    return b + bytes(max(0, 18 - len(b)))


def registration(frame_id, total, value):
    return struct.pack("<BQHI", 0xFA, frame_id, total, value)


def pack(files):
    out = bytearray()
    for name, body in files:
        n = name.encode()
        out += struct.pack("<I", len(n)) + n + struct.pack("<Q", len(body)) + body
    return bytes(out)


def announcement(stream, segments, files, total=None):
    doc = {
        "schema": "kio.bulk.file-stream.v1",
        "feature_id": "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0",
        "blob_id": "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8",
        "blob_class": "bytes",
        "sha256": hashlib.sha256(stream).hexdigest(),
        "total_bytes": len(stream) if total is None else total,
        "segment_count": segments,
        "files": [{"name": n, "size": len(b), "sha256": hashlib.sha256(b).hexdigest()} for n, b in files],
    }
    return b"\xfb" + json.dumps(doc, separators=(",", ":")).encode()


def messages(stream, frame_size):
    """The receiver's messages for a stream, each as channel, u16 length, bytes."""
    frames = [stream[i:i + frame_size] for i in range(0, len(stream), frame_size)] or [b""]
    return frames


def framed(msgs):
    return b"".join(bytes([ch]) + struct.pack("<H", len(m)) + m for ch, m in msgs)


def stream_messages(files, frame_size, total=None, order=None):
    stream = pack(files)
    frames = messages(stream, frame_size)
    msgs = [(0, announcement(stream, len(frames), files, total))]
    ids = order or range(len(frames))
    for fid in ids:
        f = frames[fid]
        parts = [f[i:i + MAX_CHUNK] for i in range(0, len(f), MAX_CHUNK)] or [b""]
        msgs.append((0, registration(fid, len(parts), len(f))))
        for k, p in enumerate(parts):
            msgs.append((1, chunk(fid, k, len(parts), p)))
    return msgs


# Feature frames.
write("feature_frame", "empty_payload", frame(0, b""))
write("feature_frame", "json_payload", frame(300, b'{"feature":"maps"}'))
write("feature_frame", "max_value", frame(2**64 - 1, b"x"))
write("feature_frame", "non_canonical", FEATURE_ID + b"\x80\x00\x00")
write("feature_frame", "version4", bytes.fromhex("01a0b0d497d64083bd74ab53fb6f92a0") + b"\x00\x00")

# Feature packs.
pack_doc = {
    "schema": "kio.feature.pack.v1", "id": "01a0b0d4-97d6-7083-bd74-ab53fb6f92a1", "blob": "b",
    "class": "feature", "short_name": "geonames", "description": "Places\n\"near\" caf\u00e9",
    "geonames_id": 6295630, "features": ["search"], "actions": [{"id": 1, "name": "open"}],
}
write("feature_pack", "full", json.dumps(pack_doc, indent=2, ensure_ascii=False).encode())
minimal = {k: pack_doc[k] for k in ["schema", "id", "blob", "class", "short_name", "description", "geonames_id"]}
write("feature_pack", "minimal", json.dumps(minimal).encode())
write("feature_pack", "wrong_class", json.dumps(dict(minimal, **{"class": "Feature"})).encode())
write("feature_pack", "duplicate", b'{"schema":"a","schema":"b"}')
write("feature_pack", "escapes", json.dumps(dict(minimal, description="\u0001\t\\/\u20ac")).encode())

# Chunks and registrations.
write("chunk", "empty_payload", chunk(1, 0, 1, b""))
write("chunk", "full_payload", chunk(2**64 - 1, 65534, 65535, bytes(range(256)) * 5 + bytes(58)))
write("chunk", "zero_total", chunk(1, 5, 0, b"ab"))
write("chunk", "truncated", chunk(1, 0, 1, b"abcdef")[:-2])
write("chunk", "registration", registration(7, 3, 4000))

# Receiver message sequences.
files = [("data.mdb", bytes(range(256)) * 12), ("lock.mdb", b"L")]
write("stream_receiver", "one_frame", framed(stream_messages(files, 1 << 20)))
write("stream_receiver", "three_frames", framed(stream_messages(files, 1100)))
write("stream_receiver", "out_of_order", framed(stream_messages(files, 1100, order=[1, 0, 2])))
write("stream_receiver", "size_mismatch", framed(stream_messages(files, 1100, total=10)))
write("stream_receiver", "empty_stream", framed(stream_messages([], 64)))

# Packed files.
write("unpack", "two_files", pack([("data.mdb", b"0123456789"), ("lock.mdb", b"")]))
write("unpack", "dots", pack([("...", b"a"), ("a..b", b"b"), (".", b"c")]))
write("unpack", "unsafe", pack([("ok", b"1"), ("../escape", b"2")]))
write("unpack", "truncated_body", pack([("f", b"body")])[:-1])
write("unpack", "empty", b"")

# The same streams, and a few more, for the unpacker fed in pieces: two bytes
# of cut seed, then the stream.
FLOWING = [
    ("two_files", pack([("data.mdb", b"0123456789"), ("lock.mdb", b"")])),
    ("dots", pack([("...", b"a"), ("a..b", b"b"), (".", b"c")])),
    ("unsafe", pack([("ok", b"1"), ("../escape", b"2")])),
    ("truncated_body", pack([("f", b"body")])[:-1]),
    ("truncated_length", pack([("f", b"body")])[:6]),
    ("replaced", pack([("a", b"the longer body"), ("b", b"x"), ("a", b"short")])),
    ("many_files", pack([("f%03d" % i, bytes([i])) for i in range(70)])),
    ("long_body", pack([("big", bytes(range(256)) * 12)])),
    ("name_too_long", struct.pack("<I", 70000) + b"n" * 16),
    ("empty", b""),
]
for i, (name, data) in enumerate(FLOWING):
    write("stream_unpack", name, struct.pack("<H", 7 * i + 1) + data)

# Records read on the fly: the first byte is the size of the pieces the stream
# bytes are fed in (0 means all at once), the rest is the stream.
write("record_digests", "listed_twice", b"\x03" + pack([("a", b"first"), ("b", b""), ("a", b"second")]))
write("record_digests", "long_name", b"\x01" + pack([("n" * 300, b"x"), ("a", b"y")]))
write("record_digests", "cut_short", b"\x07" + pack([("a", b"0123456789")])[:-3])
write("record_digests", "whole", b"\x00" + pack([("data.mdb", bytes(range(256)) * 8), ("lock.mdb", b"L")]))
