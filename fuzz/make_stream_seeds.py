#!/usr/bin/env python3
"""Writes the seed inputs of fuzz/corpus/stream: datagram sections of programs and resources.

Each input is a run of records [selector, length (2 bytes, big-endian), section]; see
fuzz/stream_run.h. The seeds set the selector bit that makes the harness fix the checksums.
"""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, 'fuzz', 'corpus', 'stream')

FIX = 0x20
OWN = 0x40
RESOURCE, VIDEO, AUDIO = 0, 1, 2


def section(payload, port=5000):
    udp = struct.pack('>HHHH', 4000, port, 8 + len(payload), 0) + payload
    ip = struct.pack('>BBHHHBBH4s4s', 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                     bytes([10, 0, 0, 1]), bytes([239, 1, 1, 1]))
    body = bytes([0, 0, 0, 0, 0, 0, 0, 0, 0]) + ip + udp
    head = bytes([0x3E]) + struct.pack('>H', 0xB000 | (len(body) + 4))
    return head + body + b'\0\0\0\0'


def rtp(seq, ts, marker, media, pt=96, cc=0, first=None):
    b0 = first if first is not None else 0x80 | cc
    head = struct.pack('>BBHII', b0, (0x80 if marker else 0) | pt, seq, ts, 0x11223344)
    return head + b'\xc0\0\0\0' * cc + b'\xee' * 6 + media


def block(kind, number, total, data, length=None):
    n = len(data) if length is None else length
    return struct.pack('<7I', kind, 0, number, total, n, 0, 0) + data


def record(selector, sec):
    return bytes([selector]) + struct.pack('>H', len(sec)) + sec


def write(name, records):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(b''.join(records))


os.makedirs(OUT, exist_ok=True)
start = b'\0\0\1\xb6'
write('video_frame', [
    record(FIX | OWN | VIDEO, section(rtp(1, 900, False, start + bytes(range(200))))),
    record(FIX | OWN | VIDEO, section(rtp(2, 900, False, bytes(300)))),
    record(FIX | OWN | VIDEO, section(rtp(3, 900, True, bytes(100)))),
])
write('video_gap_common', [
    record(FIX | VIDEO, section(rtp(1, 900, False, start + bytes(20)))),
    record(FIX | VIDEO, section(rtp(3, 900, True, bytes(20)))),
    record(FIX | VIDEO, section(rtp(4, 901, True, b'\0\0\1\xb5' + bytes(20)))),
])
write('audio_frames', [
    record(FIX | OWN | AUDIO, section(rtp(7, 300, True, bytes(range(100))))),
    record(FIX | OWN | AUDIO, section(rtp(8, 400, False, bytes(1400)))),
    record(FIX | OWN | AUDIO, section(rtp(9, 400, True, bytes(600)))),
])
write('rtp_refused', [
    record(FIX | VIDEO, section(rtp(1, 5, True, start, pt=72))),
    record(FIX | VIDEO, section(rtp(2, 6, True, start, first=0xA0))),
    record(FIX | VIDEO, section(rtp(3, 7, True, b'', cc=15)[:40])),
])
write('raw_modes', [
    record(FIX | VIDEO | (mode << 2), section(bytes(range(64)))) for mode in range(1, 8)
] + [record(FIX | VIDEO | (1 << 2), section(b'')[:42])])
write('resource_blocks', [
    record(FIX | RESOURCE, section(block(1, 1, 2, bytes(range(100))))),
    record(FIX | RESOURCE, section(block(1, 1, 2, bytes(range(100))))),
    record(FIX | RESOURCE, section(block(1, 2, 2, bytes(10)))),
    record(FIX | RESOURCE, section(block(2, 2, 2, bytes(10)))),
    record(FIX | RESOURCE, section(block(1, 2, 2, bytes(10), length=0xFFFFFFF0))),
    record(FIX | RESOURCE, section(block(1, 2, 2, b'')[:20])),
])
write('unchecked', [record(VIDEO, section(rtp(1, 1, True, start)))])
