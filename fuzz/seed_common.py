"""Pieces the seed scripts share: the repository root, file reading and the EPG container."""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
