#!/usr/bin/env python3
"""Writes the content of a driver package's catalog: the list of its files'
hashes, as Windows' catalog files hold it (a certificate trust list of
catalog members, DER). Signed with "openssl cms -sign -econtent_type
1.3.6.1.4.1.311.10.1 -nodetach -binary", it is a catalog file (.cat); left
unsigned it is the test package's stand-in catalog, which Windows refuses.

    makecat.py OUT FOLDER FILE...

FILE is relative to FOLDER. A PE file (a DLL, an executable) is listed by
its Authenticode hash, any other file by the SHA-256 of its bytes, each
under the tag Windows gives it (the hash in upper-case hex) with its name.
"""
import hashlib
import os
import struct
import sys

# Object identifiers of the catalog format.
CATALOG_LIST = '1.3.6.1.4.1.311.12.1.1'
CATALOG_LIST_MEMBER_V2 = '1.3.6.1.4.1.311.12.1.3'
CAT_NAMEVALUE = '1.3.6.1.4.1.311.12.2.1'
CAT_MEMBERINFO = '1.3.6.1.4.1.311.12.2.2'
SPC_INDIRECT_DATA = '1.3.6.1.4.1.311.2.1.4'
SPC_PE_IMAGE_DATA = '1.3.6.1.4.1.311.2.1.15'
SPC_CAB_DATA = '1.3.6.1.4.1.311.2.1.25'
SHA256 = '2.16.840.1.101.3.4.2.1'
# The subject interface packages that hash a PE file and a flat file.
PE_SIP = '{C689AAB8-8E78-11D0-8C47-00C04FC295EE}'
FLAT_SIP = '{DE351A42-8E59-11D0-8C47-00C04FC295EE}'


def der(tag, body):
    n = len(body)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, 'big')
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + body


def seq(*items):
    return der(0x30, b''.join(items))


def set_of(*items):
    return der(0x31, b''.join(sorted(items)))


def oid(text):
    parts = [int(p) for p in text.split('.')]
    body = bytes([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return der(0x06, body)


def integer(value):
    return der(0x02, value.to_bytes((value.bit_length() + 8) // 8, 'big'))


def octets(data):
    return der(0x04, data)


def bmp(text):
    return der(0x1E, text.encode('utf-16-be'))


def null():
    return der(0x05, b'')


def authenticode_sha256(data):
    """The hash Authenticode signs for a PE file: every byte but the
    checksum, the certificate table's directory entry and the table."""
    if data[:2] != b'MZ' or len(data) < 0x40:
        return None
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        return None
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    security = directories + 4 * 8
    table_at, table_size = struct.unpack_from('<II', data, security)
    end = table_at if table_size else len(data)
    checksum = optional + 64
    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:security])
    digest.update(data[security + 8:end])
    return digest.digest()


def member(folder, name):
    data = open(os.path.join(folder, name), 'rb').read()
    pe_hash = authenticode_sha256(data)
    if pe_hash is not None:
        digest, kind, sip = pe_hash, SPC_PE_IMAGE_DATA, PE_SIP
        # SpcPeImageData: flags (an empty bit string) and an obsolete file link.
        value = seq(der(0x03, b'\0'), der(0xA0, der(0xA2, der(0x80, '<<<Obsolete>>>'.encode('utf-16-be')))))
    else:
        digest, kind, sip = hashlib.sha256(data).digest(), SPC_CAB_DATA, FLAT_SIP
        value = der(0xA2, der(0x80, '<<<Obsolete>>>'.encode('utf-16-be')))
    indirect = seq(seq(oid(kind), value), seq(seq(oid(SHA256), null()), octets(digest)))
    base = name.replace('\\', '/').split('/')[-1].lower()
    attributes = set_of(
        seq(oid(CAT_NAMEVALUE), set_of(seq(bmp('File'), integer(0x10010001), octets((base + '\0').encode('utf-16-le'))))),
        seq(oid(CAT_MEMBERINFO), set_of(seq(bmp(sip), integer(512)))),
        seq(oid(SPC_INDIRECT_DATA), set_of(indirect)))
    tag = (digest.hex().upper() + '\0').encode('utf-16-le')
    return tag, seq(octets(tag), attributes)


def main():
    if len(sys.argv) < 4:
        sys.exit('usage: makecat.py OUT FOLDER FILE...')
    out, folder, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    # One member per tag: the same content in two folders is one entry.
    members, tags = [], set()
    for name in names:
        tag, entry = member(folder, name)
        if tag not in tags:
            tags.add(tag)
            members.append(entry)
    identifier = hashlib.sha256(b''.join(members)).digest()[:16]
    content = seq(seq(oid(CATALOG_LIST)), octets(identifier), der(0x17, b'250716000000Z'),
                  seq(oid(CATALOG_LIST_MEMBER_V2), null()), seq(*members))
    with open(out, 'wb') as f:
        f.write(content)


if __name__ == '__main__':
    main()
