#!/usr/bin/env python3
"""Writes the seed containers of fuzz/corpus/epg_container from the sample and test files."""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, 'fuzz', 'corpus', 'epg_container')


def read(*parts):
    with open(os.path.join(ROOT, *parts), 'rb') as f:
        return f.read()


def container(files):
    directory = b''
    offset = 0
    for name, data in files:
        directory += struct.pack('<I', len(name)) + name + struct.pack('<II', offset, len(data))
        offset += len(data)
    head = struct.pack('<IBII', 0xA0B0C0D0, 0, len(directory), len(files))
    return head + directory + b''.join(data for _, data in files)


def write(name, data):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(data)


os.makedirs(OUT, exist_ok=True)
sample = [(b'LiveEPG.txt', read('samples', 'epg', 'LiveEPG.txt')),
          (b'ico\\ico.ini', read('samples', 'epg', 'ico', 'ico.ini'))]
for icon in ('1001', '1002', '1004'):
    sample.append((b'ico\\' + icon.encode() + b'.bmp', read('samples', 'epg', 'ico', icon + '.bmp')))
write('sample', container(sample))
write('links_and_avs', container([(b'FileEPG.txt', b'[FILE_EPG]\nCOUNT=1\n'),
                                  (b'LiveEPG.txt', read('tests', 'data', 'epg', 'live_links.txt')),
                                  (b'ProgramEPG.txt', b'[Program_EPG]\nCOUNT=1\n'),
                                  (b'ico\\1.bmp', b'BM')]))
write('avs', container([(b'LiveEPG.txt', read('tests', 'data', 'epg', 'live_avs.txt'))]))
truncated = container([(b'LiveEPG.txt', read('tests', 'data', 'epg', 'live_basic.txt'))])
write('truncated', truncated[:len(truncated) // 2])
write('bad_magic', b'\x00' + truncated[1:64])
