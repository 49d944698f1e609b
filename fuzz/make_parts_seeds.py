#!/usr/bin/env python3
"""Writes the seeds of the fast store, frame and ECM targets: fuzz/corpus/store_check,
stored_epg, stored_map, frames and ecm. See fuzz/store_parts_run.h, fuzz/frames_run.h and
RunEcmInput in fuzz/ca_messages_run.h for the input layouts."""
import os
import struct

from seed_common import ROOT, read

CORPUS = os.path.join(ROOT, 'fuzz', 'corpus')


def write(target, name, data):
    out = os.path.join(CORPUS, target)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)


def trimmed(data):
    return data.rstrip(b'\0')


# The store check: the images the whole-store target starts from (an empty one is its head).
for name in ('valid_empty_image', 'stored_live_epg'):
    write('store_check', name, trimmed(read('fuzz', 'corpus', 'store', name)))

# The stored live EPG: the EPG area and the icon area of the stored test image.
image = read('fuzz', 'corpus', 'store', 'stored_live_epg')
epg = trimmed(image[0x4000:0x10000])
icons = trimmed(image[0x10000:])
write('stored_epg', 'stored_live_epg', struct.pack('>H', len(epg)) + epg + icons)
write('stored_epg', 'without_icons', struct.pack('>H', len(epg)) + epg)
write('stored_epg', 'head_only', struct.pack('>H', 12) + epg[:12])


# The stored service map: the head (count, version, the section's last four bytes), a pad byte,
# then 80-byte records in the terminal's byte order (little-endian here).
def record(svid, name, ecm_pid, status=1, rating=0, addresses=(), values=()):
    address = [a for a, _ in addresses][:3] + [0] * (3 - min(3, len(addresses)))
    port = [p for _, p in addresses][:3] + [0] * (3 - min(3, len(addresses)))
    listed = list(values)[:5] + [0] * (5 - min(5, len(values)))
    return (struct.pack('<BBHHHIBBH', status, 0, 1, 2, svid, 0, 0, rating, ecm_pid) +
            struct.pack('<3I3H5H', *address, *port, *listed) + name.ljust(32, b'\0') +
            b'\0' * 4)


def service_map(records, count=None, version=1):
    n = len(records) if count is None else count
    return bytes([n, version]) + b'\x11\x22\x33\x44' + b'\0' + b''.join(records)


write('stored_map', 'one', service_map([record(12, b'Scrambled', 0x0501, rating=8,
                                               addresses=[(0xEF010102, 5000)])]))
write('stored_map', 'three', service_map([record(20 + n, b'S%d' % n, 0x0600 + n, values=(n, 1))
                                          for n in range(3)]))
write('stored_map', 'deleted_between', service_map([record(30, b'A', 0x0700),
                                                    record(31, b'B', 0x0701, status=0xFE),
                                                    record(32, b'C', 0x0702)]))
write('stored_map', 'full', service_map([record(0x100 + n, b'', 0x0800 + n) for n in range(128)]))
write('stored_map', 'unended_name', service_map([record(40, b'N' * 32, 0x0900)]))
write('stored_map', 'count_beyond', service_map([record(50, b'X', 0x0A00)], count=255))
# The head names the very section the run parses on top (version 1, last four bytes zero).
write('stored_map', 'this_section', bytes([1, 1]) + b'\0' * 5 + record(12, b'Old', 0x0501))


# Frame reassembly: the buffer sizes byte, then [selector, length, UDP payload] records.
def rtp(seq, ts, marker, media, pt=96, first=0x80):
    return struct.pack('>BBHII', first, (0x80 if marker else 0) | pt, seq, ts, 0x11223344) + \
        b'\xee' * 6 + media


def packet(audio, payload):
    return bytes([1 if audio else 0]) + struct.pack('>H', len(payload)) + payload


START = b'\0\0\1\xb6'
write('frames', 'three_parts', bytes([0x5C]) + b''.join([
    packet(False, rtp(1, 900, False, START + bytes(100))),
    packet(False, rtp(2, 900, False, bytes(range(200)))),
    packet(False, rtp(3, 900, True, bytes(50))),
    packet(True, rtp(7, 900, True, bytes(80)))]))
write('frames', 'lost_and_unfinished', bytes([0x33]) + b''.join([
    packet(False, rtp(1, 100, False, START + bytes(40))),
    packet(False, rtp(3, 100, True, bytes(40))),
    packet(False, rtp(4, 200, False, START + bytes(40))),
    packet(False, rtp(5, 300, True, START + bytes(40)))]))
write('frames', 'too_large', bytes([0x00]) + b''.join([
    packet(False, rtp(1, 100, False, START + bytes(40))),
    packet(False, rtp(2, 100, True, bytes(40))),
    packet(True, rtp(1, 5, True, bytes(70)))]))
write('frames', 'refused', bytes([0xFF]) + b''.join([
    packet(False, rtp(1, 1, True, START, first=0x40)),
    packet(False, rtp(2, 1, True, START, pt=72)),
    packet(True, b'\x80\x60')]))
write('frames', 'wrapping_seq', bytes([0x5C]) + b''.join([
    packet(False, rtp(0xFFFF, 7, False, START + bytes(8))),
    packet(False, rtp(0, 7, True, bytes(8)))]))


# ECMs: flags, the card's way of answering, its status, the answer, the service's rating, the
# card's viewing hours and rating, then an ECM section (from the CA seeds, selector dropped).
def ecm_input(section, flags=0, mode=0, status=b'\x90\x00', answer=bytes(range(1, 41)),
              rating=0, hours=b'\0\0\0\0', card_rating=0):
    return (bytes([flags, mode]) + status + bytes([len(answer)]) + answer + bytes([rating]) +
            hours + bytes([card_rating]) + section)


type0 = read('fuzz', 'corpus', 'ca_messages', 'ecm_type0')[1:]
type1 = read('fuzz', 'corpus', 'ca_messages', 'ecm_type1')[1:]
write('ecm', 'fetched', ecm_input(type0))
write('ecm', 'at_once', ecm_input(type1, mode=1))
write('ecm', 'refused', ecm_input(type0, mode=2, status=b'\x64\x01'))
write('ecm', 'older_form', ecm_input(type0, mode=2, status=b'\x6a\x86'))
write('ecm', 'words_with_status', ecm_input(type0, mode=3, status=b'\x6a\x88',
                                            answer=bytes(range(19))))
write('ecm', 'fetch_fails', ecm_input(type0, mode=4, status=b'\x6f\x00'))
write('ecm', 'short_answer', ecm_input(type0, answer=bytes(20)))
write('ecm', 'long_claim', ecm_input(type0, mode=1 | (31 << 3)))
write('ecm', 'exchange_fails', ecm_input(type0, flags=8))
write('ecm', 'no_card', ecm_input(type0, flags=1))
write('ecm', 'not_started', ecm_input(type0, flags=4))
write('ecm', 'rating', ecm_input(type0, rating=12, card_rating=8))
write('ecm', 'viewing_hours', ecm_input(type0, hours=b'\x22\x00\x06\x00'))
