#!/usr/bin/env python3
"""Writes the seed corpora of the EPG fuzz targets from the sample and test files."""
import os

from seed_common import ROOT, container, read

OUT = os.path.join(ROOT, 'fuzz', 'corpus', 'epg_container')


def write(name, data, out=OUT):
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)


os.makedirs(OUT, exist_ok=True)
sample = [(b'LiveEPG.txt', read('samples', 'epg', 'LiveEPG.txt')),
          (b'FileEPG.txt', read('samples', 'epg', 'FileEPG.txt')),
          (b'ProgramEPG.txt', read('samples', 'epg', 'ProgramEPG.txt')),
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

# The text targets: the test and sample files as they are, and a file that runs out of nodes.
for kind, sample_name in (('file', 'FileEPG.txt'), ('program', 'ProgramEPG.txt')):
    out = os.path.join(ROOT, 'fuzz', 'corpus', kind + '_epg')
    data_dir = os.path.join(ROOT, 'tests', 'data', 'epg')
    for name in sorted(os.listdir(data_dir)):
        if name.startswith(kind + '_'):
            write(name, read('tests', 'data', 'epg', name), out)
    write('sample', read('samples', 'epg', sample_name), out)
pool = b'[FILE_EPG]\nCOUNT=40\n'
for i in range(40):
    pool += b'[PROGRAM%d]\nProgramID=%d\nFileName=/D%d$%d/r%d.ts\nProgramSort=B\n' % (
        i, 100 + i, i % 32, i, i)
write('node_pool', pool, os.path.join(ROOT, 'fuzz', 'corpus', 'file_epg'))
