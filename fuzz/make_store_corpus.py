#!/usr/bin/env python3
"""Writes the seed corpora of the store's fuzz targets (ltr_segment, ltr_payload) and of the JSON reader (json).

The segment seeds start from the independent writer's segment in tests/data/store-vectors,
whose wrap key and founder the segment target uses, so that mutations start from a chain
that verifies."""
import json
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
vectors_dir = os.path.join(here, "..", "tests", "data", "store-vectors")
vectors = json.load(open(os.path.join(vectors_dir, "expected.json")))
segment = open(os.path.join(vectors_dir, "install/persist/ltr/current/2026-01-05-00001.jsonl"), "rb").read()
lines = segment.split(b"\n")[:-1]


def write(target, name, data):
    directory = os.path.join(here, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


first = json.loads(lines[0])
spaced = (b' { "extra" : [1, {"a": null}] , "ciphertext_b64": "%s", "nonce_b64":"%s",'
          b' "previous_digest" : "%s", "sequence": 1, "version": 1, "schema": "kio.persist.ltr-frame.v1" }'
          % (first["ciphertext_b64"].encode(), first["nonce_b64"].encode(), first["previous_digest"].encode()))
write("ltr_segment", "chain", segment)
write("ltr_segment", "crlf_blank", b"\r\n".join(lines) + b"\r\n\n\n")
write("ltr_segment", "torn_tail", segment[:-40])
write("ltr_segment", "no_final_feed", segment[:-1])
write("ltr_segment", "spaced_first", b"\n".join([spaced] + lines[1:]) + b"\n")
write("ltr_segment", "empty", b"")
write("ltr_segment", "not_json", b"{\"schema\":\"kio.persist.ltr-frame.v1\",\"version\":01}\n\xff")

for i, frame in enumerate(vectors["frames"]):
    write("ltr_payload", "event_%d" % (i + 1), frame["payload"].encode())
write("ltr_payload", "duplicates",
      b'{"kind":"x","kind":"connector-noise","label":"a","label":"b","value":"\\ud83d\\ude00\\u0000"}')
write("ltr_payload", "nested", b'[{"a":[1,-0,2.5e-3,true,false,null,{}]},"\\"\\\\\\/\\b\\f\\n\\r\\t"]')
write("ltr_payload", "lone_surrogate", b'{"kind":"connector-noise","label":"a","value":"\\udc00"}')

# The JSON reader and writer: every event seed, and documents whose numbers and
# nesting the tree form must keep as the JSON library does.
for name in os.listdir(os.path.join(here, "corpus", "ltr_payload")):
    write("json", name, open(os.path.join(here, "corpus", "ltr_payload", name), "rb").read())
write("json", "numbers", b'[0,-0,1,-1,18446744073709551615,18446744073709551616,-9223372036854775808,'
                         b'-9223372036854775809,1.5,-2.5e-3,1E+2,1e-400,123456789012345678901234567890]')
write("json", "manifest", b'{"features":[{"schema":"kio.bootstrap.feature-admit.v1","feature":"maps",'
                          b'"z":{"b":[],"a":{}}}],"schema":"kio.install.features-manifest.v1","notes":"\\u0001"}')
write("json", "deep", b"[" * 200 + b"]" * 200)
