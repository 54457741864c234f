#!/usr/bin/env python3
"""Writes the seed corpora of packet_fuzz and responder_fuzz (run from fuzz/)."""
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

for directory, seeds in (('corpus/packet/', PACKET), ('corpus/responder/', RESPONDER)):
    for name, data in seeds.items():
        with open(directory + name, 'wb') as f:
            f.write(data)
