#!/usr/bin/env python3
"""Writes palchange.avi: 64x48 8-bit Microsoft Video 1 (CRAM) frames with
8 kHz PCM sound, and palette-change ('00pc') chunks before frames 2 and 4,
listed in idx1 as video-stream entries, as palette-animating writers do."""
import struct, sys

W, H, FRAMES, RATE = 64, 48, 6, 4000
SPF = RATE // 10  # 10 frames per second

def chunk(tag, data):
    return tag + struct.pack('<I', len(data)) + data + (b'\0' if len(data) & 1 else b'')

def lst(kind, body):
    return b'LIST' + struct.pack('<I', len(body) + 4) + kind + body

def palette(shift):
    return bytes(c for i in range(256) for c in ((i * 3 + shift) & 255, (i * 5) & 255, (255 - i + shift) & 255, 0))

def frame(n):
    out = bytearray()
    for by in range(H // 4):
        for bx in range(W // 4):
            out += bytes([(bx * 4 + by * 3 + n * 7) & 255, 0x80])  # one-colour block
    return bytes(out + b'\0\0')

def palchange(shift, first=16, count=64):
    p = palette(shift)
    return bytes([first, count]) + b'\0\0' + bytes(
        c for i in range(first, first + count) for c in (p[i * 4 + 2], p[i * 4 + 1], p[i * 4], 0))

bmi = struct.pack('<IiiHHIIiiII', 40, W, H, 1, 8, 0x4D415243, 0, 0, 0, 256, 0) + palette(0)
vstrh = struct.pack('<4s4sIHHIIIIIIIIhhhh', b'vids', b'CRAM', 0, 0, 0, 0, 1, 10, 0, FRAMES, 4096, 0xFFFFFFFF, 0, 0, 0, W, H)
wfx = struct.pack('<HHIIHHH', 1, 1, RATE, RATE, 1, 8, 0)
astrh = struct.pack('<4s4sIHHIIIIIIIIhhhh', b'auds', b'\0\0\0\0', 0, 0, 0, 0, 1, RATE, 0, SPF * FRAMES, 4096, 0xFFFFFFFF, 1, 0, 0, 0, 0)
avih = struct.pack('<IIIIIIIIII16x', 100000, 0, 0, 0x10, FRAMES, 0, 2, 0, W, H)
hdrl = lst(b'hdrl', chunk(b'avih', avih) + lst(b'strl', chunk(b'strh', vstrh) + chunk(b'strf', bmi)) +
           lst(b'strl', chunk(b'strh', astrh) + chunk(b'strf', wfx)))
movi, idx = b'', b''
def add(tag, data, flags):
    global movi, idx
    idx += tag + struct.pack('<III', flags, 4 + len(movi), len(data))
    movi += chunk(tag, data)
for n in range(FRAMES):
    if n in (2, 4):
        add(b'00pc', palchange(40 * n), 0x100)  # AVIIF_NOTIME
    add(b'00dc', frame(n), 0x10)
    add(b'01wb', bytes((n * SPF + i) * 37 % 200 + 28 for i in range(SPF)), 0x10)
body = b'AVI ' + hdrl + lst(b'movi', movi) + chunk(b'idx1', idx)
open(sys.argv[1] if len(sys.argv) > 1 else 'palchange.avi', 'wb').write(b'RIFF' + struct.pack('<I', len(body)) + body)
