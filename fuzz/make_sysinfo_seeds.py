#!/usr/bin/env python3
"""Writes the seeds of fuzz/corpus/sysinfo: records of a selector byte (even: system
information, odd: block), a little-endian u16 length and the payload."""
import os
import struct

from seed_common import ROOT, container, read

OUT = os.path.join(ROOT, 'fuzz', 'corpus', 'sysinfo')


def sysinfo(stamp=b'20261206180000', pid=0x100, address=0xEF515A02, port=8200, message=b'',
            declared=None, magic=0xBDBD):
    head = struct.pack('<I7I', magic, 2026, 12, 6, 18, 0, 0, 0) + stamp.ljust(14, b'\0')
    head += b'\0' * 6 + struct.pack('<IIII', pid, address, port,
                                    len(message) if declared is None else declared)
    return head + message


def block(number, total, data, kind=1, declared=None):
    return struct.pack('<7I', kind, 0, number, total, len(data) if declared is None else declared,
                       0, 0) + data


def blocks(data, size=1400):
    total = (len(data) + size - 1) // size
    return [block(n + 1, total, data[n * size:(n + 1) * size]) for n in range(total)]


def records(*items):
    out = b''
    for selector, payload in items:
        out += struct.pack('<BH', selector, len(payload)) + payload
    return out


def write(name, data):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)


os.makedirs(OUT, exist_ok=True)
files = [(b'LiveEPG.txt', read('samples', 'epg', 'LiveEPG.txt')),
         (b'ico\\ico.ini', read('samples', 'epg', 'ico', 'ico.ini'))]
for icon in ('1001', '1002', '1004'):
    files.append((b'ico\\' + icon.encode() + b'.bmp', read('samples', 'epg', 'ico', icon + '.bmp')))
parts = blocks(container(files))
write('download', records((0, sysinfo(message=b'Welcome')), (1, parts[2]), (1, parts[0]),
                          (1, parts[0]), (1, block(1, 3, b'stray', kind=2)), (0, sysinfo()),
                          (1, parts[1])))
small = blocks(container([(b'LiveEPG.txt', read('tests', 'data', 'epg', 'live_basic.txt'))]))
write('restart', records((0, sysinfo()), (1, parts[0]),
                         (0, sysinfo(stamp=b'20261207060000', port=8202, message=b'New EPG')),
                         *[(1, p) for p in small]))
write('forged_blocks', records((0, sysinfo()), (1, block(0, 3, b'x')), (1, block(1025, 1025, b'x')),
                               (1, block(1, 0, b'x')), (1, block(3, 2, b'x')),
                               (1, block(1, 2, b'x' * 1401)), (1, block(1, 2, b'x', declared=99)),
                               (1, block(1, 2, b'x')[:20]), (1, block(1024, 1024, b'y' * 1400))))
write('short', records((0, sysinfo()[:3]), (0, sysinfo()[:67]), (0, sysinfo(magic=0xBDBE)),
                       (0, sysinfo(message=b'm' * 40, declared=5000))))
