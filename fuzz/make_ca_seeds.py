#!/usr/bin/env python3
"""Writes the seeds of fuzz/corpus/ca_messages: a selector byte (0 EMM, 1 broadcast data, 2
service map, 3 ECM; bit 7: a length byte and the card's answer to its CA command follow), then a
section with its CRC right."""
import os
import struct

from seed_common import ROOT

OUT = os.path.join(ROOT, 'fuzz', 'corpus', 'ca_messages')
CARD = bytes.fromhex('4B52000000001001')
OTHER_CARD = bytes.fromhex('4B52000000002002')


def crc32(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def section(table, body):
    """Table id, section length, body, then the CRC of everything after the length field."""
    head = struct.pack('>BH', table, 0x7000 | ((len(body) + 4) & 0x0FFF))
    return head + body + struct.pack('>I', crc32(body))


def counted(data):
    return bytes([len(data)]) + data


def tagged(tag, body):
    return bytes([tag, len(body)]) + body


def emm(kind, body, card=CARD, parameter=0):
    return section(0x83, b'KR' + card + bytes([parameter, kind]) + b'\0' * 4 + body)


def mail(mail_id, title, content, info=b'\x01\x02', word=0x20261206):
    return tagged(0x81, struct.pack('>II', mail_id, word) + counted(info) + counted(title) +
                  counted(content))


def text(text_id, words, first=b'', second=b'\x05'):
    return tagged(0x85, struct.pack('>I', text_id) + b'\0' * 4 + counted(first) +
                  counted(second) + counted(words))


def message_emm(*records, card=CARD):
    area = b''.join(records)
    return emm(3, struct.pack('>H', len(area)) + area, card)


def command_emm(sequence, entries, parameter=0):
    body = struct.pack('>I', sequence) + b'\0' * 4 + struct.pack('>H', len(entries))
    for code, data in entries:
        body += bytes([code, len(data), 0]) + data
    return emm(6, body + bytes(range(16)), parameter=parameter)


def broadcast(*descriptors):
    area = b''.join(descriptors)
    return section(0x83, b'KR' + b'\0' * 9 + b'\x04' + b'\0' * 4 + struct.pack('>H', len(area)) +
                   area)


def brd_text(text_id, words, address=CARD, mask=b'\xff' * 8):
    return tagged(0x82, struct.pack('>I', text_id) + address + mask + counted(words))


def redirection(redirect_id, ids, address=CARD, mask=b'\xff' * 8):
    return tagged(0x83, struct.pack('>I', redirect_id) + address + mask + struct.pack('>3H', *ids))


def service(svid, name, ecm_pid, rating=0, values=(), addresses=(), other=b''):
    descriptors = b''.join(tagged(0xA1, struct.pack('>IH', a, p)) for a, p in addresses) + other
    return (struct.pack('>HHHBH', 1, 2, svid, rating, ecm_pid) + counted(name) +
            bytes([len(values)]) + b''.join(struct.pack('>H', v) for v in values) +
            counted(descriptors))


def service_map(version, *entries):
    return section(0x84, bytes([version & 0x1F, len(entries)]) + b''.join(entries))


def ecm(svid, version, kind, blocks):
    card_part = struct.pack('>HIB', svid, 1796601600, 1).ljust(34, b'\0') + b'\x20\x30'
    body = struct.pack('>HHHBB', 1, 2, svid, version, kind << 6) + card_part.ljust(40, b'\0')
    body += b'\0' * 4 + bytes([len(blocks)])
    size = 36 if kind == 1 else 20
    for n, parity in enumerate(blocks):
        body += struct.pack('>HH', parity, n) + bytes([0x10 + n] * (size - 4))
    return section(0x81, body)


def write(name, selector, data):
    with open(os.path.join(OUT, name), 'wb') as f:
        f.write(bytes([selector]) + data)


os.makedirs(OUT, exist_ok=True)

write('emm_mail', 0, message_emm(mail(1, b'Welcome', b'Your subscription is active.')))
write('emm_mails', 0, message_emm(mail(2, b'Offer', b'Two months free'),
                                  mail(3, b'Notice', b'Maintenance tonight', info=b'')))
write('emm_mail_long', 0, message_emm(mail(4, b'A title longer than twenty bytes', b'c' * 150,
                                           info=bytes(range(16)))))
write('emm_mail_repeat', 0, message_emm(mail(5, b'Once', b'x'), mail(5, b'Once', b'x')))
write('emm_store_full', 0,
      message_emm(*[mail(100 + n, b'Mail %d' % n, b'body') for n in range(22)]))
write('emm_text', 0, message_emm(text(7, b'Please call the operator')))
write('emm_texts', 0, message_emm(text(8, b'First', first=b'ab'), text(8, b'Again'),
                                  text(9, b'Second', second=b'')))
write('emm_mixed', 0, message_emm(text(10, b'Mail follows'), tagged(0x90, b'unknown'),
                                  mail(11, b'Mixed', b'content')))
write('emm_other_card', 0, message_emm(mail(12, b'Not yours', b'x'), card=OTHER_CARD))
write('emm_commands', 0, command_emm(1, [(0x01, b'\x00\x02'), (0x02, b'\x12')]))
write('emm_commands_none', 0, command_emm(2, []))
write('emm_commands_many', 0, command_emm(3, [(n, bytes([n] * n)) for n in range(1, 9)],
                                          parameter=5))
# The card's answer: three commands, the last one shorter than a command can be.
write('emm_commands_answer', 0x80, bytes([12, 3, 5, 0x80, 0xCA, 0, 0, 0, 4, 0, 0xA4, 0, 0, 2, 0]) +
      command_emm(4, [(0x03, b'\x01')]))
write('emm_commands_short_answer', 0x80, bytes([1, 0]) + command_emm(5, [(0x04, b'')]))

write('brd_text', 1, broadcast(brd_text(1, b'Programme change at 20:00')))
write('brd_text_group', 1, broadcast(brd_text(2, b'For the group', address=OTHER_CARD,
                                              mask=b'\xff' * 6 + b'\0\0')))
write('brd_text_other', 1, broadcast(brd_text(3, b'Not for this card', address=OTHER_CARD)))
write('brd_texts', 1, broadcast(*[brd_text(10 + n, b'Text %d' % n) for n in range(7)]))
write('brd_redirection', 1, broadcast(redirection(20, (1, 2, 0x0301))))
write('brd_redirection_other', 1, broadcast(redirection(21, (1, 2, 3), address=OTHER_CARD)))
write('brd_mixed', 1, broadcast(brd_text(30, b'Moving'), redirection(31, (4, 5, 6)),
                                tagged(0x99, b'\1\2\3'), brd_text(30, b'Moving')))
write('brd_long_text', 1, broadcast(brd_text(40, b't' * 200, mask=b'\0' * 8)))
write('brd_redirections', 1, broadcast(*[redirection(50 + n, (n, n + 1, n + 2)) for n in range(6)]))
write('brd_empty_text', 1, broadcast(brd_text(60, b'')))
write('brd_masked_text', 1, broadcast(brd_text(61, b'Half the id', address=CARD[:4] + b'\0' * 4,
                                               mask=b'\xff' * 4 + b'\0' * 4)))
write('brd_repeats', 1, broadcast(*[redirection(70, (7, 8, 9)), brd_text(71, b'Seen')] * 3))
write('brd_small_area', 1, broadcast(tagged(0x82, b'\1\2')))

write('smt_one', 2, service_map(1, service(0x0101, b'News', 0x0201, rating=0x86,
                                           values=(1, 2), addresses=[(0xEF010101, 5000)])))
write('smt_addresses', 2, service_map(2, service(0x0102, b'Sport', 0x0202, addresses=[
    (0xEF010102, 5002), (0xEF010103, 5004), (0xEF010104, 5006), (0xEF010105, 5008)])))
write('smt_many', 2, service_map(3, *[service(0x0200 + n, b'Service %d' % n, 0x0300 + n,
                                              rating=n % 16, values=tuple(range(n % 7)),
                                              addresses=[(0xEF020000 + n, 6000 + n)])
                                      for n in range(12)]))
write('smt_long_name', 2, service_map(4, service(0x0103, b'N' * 40, 0x0203, values=(9,) * 5)))
write('smt_descriptors', 2, service_map(5, service(0x0104, b'Movies', 0x0204, other=b'\x90\x02ab',
                                                   addresses=[(0xEF010106, 5010)])))
write('smt_unnamed', 2, service_map(8, service(0x0106, b'', 0x0207)))
write('smt_odd_descriptors', 2, service_map(9, service(0x0107, b'Odd', 0x0208,
                                                       other=b'\xa1\x04\1\2\3\4\xa1\x00')))
write('smt_flagged', 2, service_map(10, service(0x0108, b'Adult', 0x0209, rating=0x8F,
                                                values=(1, 2, 3, 4, 5, 6, 7))))
write('smt_big', 2, service_map(11, *[service(0x0400 + n, b'S%d' % n, 0x0500 + n)
                                      for n in range(40)]))
write('smt_full', 2, service_map(12, *[service(0x0600 + n, b'', 0x0700 + n) for n in range(130)]))
write('smt_empty', 2, service_map(6))
write('smt_same_svid', 2, service_map(7, service(0x0105, b'First', 0x0205),
                                      service(0x0105, b'Second', 0x0206)))

write('ecm_type0', 3, ecm(0x0101, 1, 0, [0, 1]))
write('ecm_type1', 3, ecm(0x0102, 2, 1, [1]))
write('ecm_three', 3, ecm(0x0103, 3, 0, [0, 1, 0]))
write('ecm_unknown_service', 7, ecm(0x0104, 4, 0, [0]))
