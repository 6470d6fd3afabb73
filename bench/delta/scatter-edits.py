"""Writes NEW as OLD with 300 inserted, removed and changed runs of bytes spread over it, as a
rebuild of a large program scatters them (the same edits every time).

Usage: python3 scatter-edits.py OLD NEW"""
import random
import sys

data = bytearray(open(sys.argv[1], 'rb').read())
rng = random.Random(17)
for _ in range(300):
    at = rng.randrange(len(data))
    kind = rng.randrange(3)
    if kind == 0:
        data[at:at] = rng.randbytes(rng.randrange(1, 4096))
    elif kind == 1:
        del data[at:at + rng.randrange(1, 4096)]
    else:
        for i in range(at, min(at + 64, len(data)), 4):
            data[i] = (data[i] + 16) & 255
open(sys.argv[2], 'wb').write(data)
