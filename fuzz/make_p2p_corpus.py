#!/usr/bin/env python3
"""Writes the seed corpora of packet_fuzz, responder_fuzz and replay_window_fuzz (run from fuzz/)."""
import struct


def hdr(t, sid, ch, ctr):
    return bytes([t]) + struct.pack('>Q', sid) + bytes([ch]) + struct.pack('>Q', ctr)


def chunk(b):
    return struct.pack('<H', len(b)) + b


PACKET = {
    'short': b'\x01' * 17,
    'bad_type': hdr(3, 0, 0, 0),
    'data_empty': hdr(1, 7, 2, 5),
    'data': hdr(1, 0x0102030405060708, 9, 0xff00000000000001) + bytes(range(40)),
    'discovery': hdr(2, 0, 0, 0) + b'hello',
    'discovery_bad': hdr(2, 0, 1, 0) + b'hello',
    'hs_xx': hdr(0, 42, 0, 0) + b'KIHS\x01\x00' + bytes(32) + bytes(range(32)),
    'hs_kk': hdr(0, 42, 0, 0) + b'KIHS\x01\x01' + bytes([0x11] * 32) + bytes(range(96)),
    'hs_no_message': hdr(0, 42, 0, 0) + b'KIHS\x01\x00' + bytes(32),
    'hs_selector2': hdr(0, 42, 0, 0) + b'KIHS\x01\x02' + bytes(32) + b'x',
}

# Mode byte: bit 0 KK, bit 1 genuine initiator messages, bit 2 expected participant.
RESPONDER = {
    'xx_raw': bytes([0]) + chunk(bytes(32)) + chunk(bytes(64)),
    'kk_raw': bytes([1]) + chunk(bytes(range(100))),
    'xx_genuine': bytes([2]) + bytes(6),
    'kk_genuine': bytes([3]) + bytes(3),
    'kk_genuine_expected': bytes([7]) + bytes(3) + bytes([0]) + bytes(8) + chunk(bytes(20)),
    'xx_genuine_flip3': bytes([2]) + bytes([0, 0, 0, 5, 1, 0]),
    'xx_genuine_payload1': bytes([2]) + bytes([0, 0, 0x40]) + chunk(b'x') + bytes(3),
    'kk_cut': bytes([3]) + bytes([0, 0, 0x80 | 40]),
}


# Steps of replay_window_fuzz: op byte (bits 0-1 kind, 2-4 channel, 5 top byte follows).
def absolute(c, ch=0):
    return bytes([ch << 2]) + struct.pack('>Q', c)


def ahead(d, ch=0):
    return bytes([1 | ch << 2]) + struct.pack('>H', d)


def back(d, ch=0):
    return bytes([2 | ch << 2]) + struct.pack('>H', d)


def near_largest(k, ch=0):
    return bytes([3 | ch << 2, k])


def top(step, b):
    return bytes([step[0] | 0x20]) + step[1:] + bytes([b])


REPLAY_WINDOW = {
    'first_zero': absolute(0) + absolute(0) + ahead(1) + back(1),
    'first_high': absolute(5000) + absolute(5000) + back(1984) + back(1985),
    'largest': near_largest(0) + near_largest(0) + absolute(0) + back(1984) + back(1985) + ahead(1),
    'jump_past_window': absolute(9) + ahead(5000) + absolute(9) + back(1984) + absolute(9 + 4096),
    'ring_wrap': absolute(10) + ahead(2048 - 64) + ahead(64) + absolute(10) + back(64),
    'reorder': absolute(10) + back(5) + back(3) + back(5) + ahead(0) + back(1) + back(10),
    'top_bits': absolute(7) + top(absolute(7), 0xAB) + top(ahead(1), 0xFF) + absolute(8) + absolute(0xFF00000000000009),
    'channels': b''.join(absolute(c, ch) for ch in range(8) for c in (0, 0, 1)),
}

for directory, seeds in (('corpus/packet/', PACKET), ('corpus/responder/', RESPONDER),
                         ('corpus/replay_window/', REPLAY_WINDOW)):
    for name, data in seeds.items():
        with open(directory + name, 'wb') as f:
            f.write(data)
