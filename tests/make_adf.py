#!/usr/bin/env python3
"""Writes an AmigaDOS OFS (DOS\\0) floppy image for the Amiga round-trip tests.

  make_adf.py OUT.adf [--hd] [--name VOLNAME] FILE...
  make_adf.py OUT.adf [--hd] --demo DIR

FILEs go into the root directory under their base names; a directory is
copied whole.  --demo writes a built-in set of files (sizes chosen to hit
the block and extension-block edges, a hash-chain collision and nested
directories) to DIR and puts the same tree on the volume, so a test can
compare what comes back against DIR.  Everything is deterministic: the
same arguments give the same image byte for byte.
"""
import argparse
import os
import random
import struct
import sys

BSIZE = 512
HT_SIZE = 72                        # hash table / block table entries
DATA_BYTES = 488                    # payload of an OFS data block
T_HEADER, T_DATA, T_LIST = 2, 8, 16
ST_ROOT, ST_USERDIR, ST_FILE = 1, 2, -3
STAMP = (12345, 720, 0)             # days since 1978-01-01, minutes, ticks

# Long indices shared by root, directory and file header blocks.
L_TYPE, L_KEY, L_HIGHSEQ, L_FIRSTDATA, L_CSUM, L_TABLE = 0, 1, 2, 4, 5, 6
L_BYTESIZE, L_DATE, L_CHAIN, L_PARENT, L_EXT, L_SECTYPE = 81, 105, 124, 125, 126, 127
NAME_OFFSET = 0x1B0


def name_hash(name):
    raw = name.encode('latin-1')
    h = len(raw)
    for c in raw:                   # only a-z is folded to upper case
        h = (h * 13 + (c - 32 if 97 <= c <= 122 else c)) & 0x7FF
    return h % HT_SIZE


class Volume:
    def __init__(self, blocks, name):
        self.count = blocks
        self.root = blocks // 2
        self.blocks = {}            # number -> bytearray
        self.csum_at = {}           # number -> long index of its checksum
        self.names = set()          # (directory block, upper-cased name)
        # Hand out blocks upwards from the root, then wrap round to block 2.
        self.free = list(range(self.root - 1, 1, -1)) + list(range(blocks - 1, self.root, -1))
        self.new(self.root, T_HEADER, ST_ROOT, name)
        self.put(self.root, L_KEY, 0)
        self.put(self.root, 3, HT_SIZE)
        self.put(self.root, 78, -1)                     # bitmap is valid
        self.bitmap = []
        for n in range(-(-(blocks - 2) // (127 * 32))):
            self.bitmap.append(self.alloc())
            self.blocks[self.bitmap[-1]] = bytearray(BSIZE)
            self.csum_at[self.bitmap[-1]] = 0
            self.put(self.root, 79 + n, self.bitmap[-1])
        for at in (118, 121):                           # volume altered, created
            for i, v in enumerate(STAMP):
                self.put(self.root, at + i, v)

    def alloc(self):
        if not self.free:
            sys.exit('make_adf: volume full')
        return self.free.pop()

    def put(self, blk, index, value):
        struct.pack_into('>L', self.blocks[blk], index * 4, value & 0xFFFFFFFF)

    def get(self, blk, index):
        return struct.unpack_from('>L', self.blocks[blk], index * 4)[0]

    def new(self, blk, btype, sectype, name=None):
        self.blocks[blk] = bytearray(BSIZE)
        self.csum_at[blk] = L_CSUM
        self.put(blk, L_TYPE, btype)
        self.put(blk, L_KEY, blk)
        self.put(blk, L_SECTYPE, sectype)
        if name is not None:
            raw = name.encode('latin-1')
            if not 0 < len(raw) <= 30 or b'/' in raw or b':' in raw:
                sys.exit('make_adf: bad name %r' % name)
            self.blocks[blk][NAME_OFFSET:NAME_OFFSET + 1 + len(raw)] = bytes([len(raw)]) + raw
            for i, v in enumerate(STAMP):
                self.put(blk, L_DATE + i, v)

    def link(self, parent, name, blk):
        """Enters blk in parent's hash table, at the end of its chain."""
        if (parent, name.upper()) in self.names:
            sys.exit('make_adf: duplicate name %r' % name)
        self.names.add((parent, name.upper()))
        slot, at = L_TABLE + name_hash(name), parent
        while self.get(at, slot):
            at, slot = self.get(at, slot), L_CHAIN
        self.put(at, slot, blk)
        self.put(blk, L_PARENT, parent)

    def mkdir(self, parent, name):
        blk = self.alloc()
        self.new(blk, T_HEADER, ST_USERDIR, name)
        self.link(parent, name, blk)
        return blk

    def add_file(self, parent, name, data):
        hdr = self.alloc()
        self.new(hdr, T_HEADER, ST_FILE, name)
        self.put(hdr, L_BYTESIZE, len(data))
        chunks = [data[i:i + DATA_BYTES] for i in range(0, len(data), DATA_BYTES)]
        blocks = [self.alloc() for _ in chunks]
        for seq, (blk, chunk) in enumerate(zip(blocks, chunks)):
            self.new(blk, T_DATA, 0)
            self.put(blk, L_KEY, hdr)
            self.put(blk, 2, seq + 1)
            self.put(blk, 3, len(chunk))
            self.put(blk, 4, blocks[seq + 1] if seq + 1 < len(blocks) else 0)
            self.blocks[blk][24:24 + len(chunk)] = chunk
        if blocks:
            self.put(hdr, L_FIRSTDATA, blocks[0])
        # The header holds the first 72 pointers, extension blocks the rest;
        # each table fills from its last entry backwards.
        table = hdr
        for start in range(0, len(blocks), HT_SIZE):
            if start:
                ext = self.alloc()
                self.new(ext, T_LIST, ST_FILE)
                self.put(ext, L_PARENT, hdr)
                self.put(table, L_EXT, ext)
                table = ext
            part = blocks[start:start + HT_SIZE]
            self.put(table, L_HIGHSEQ, len(part))
            for i, blk in enumerate(part):
                self.put(table, L_TABLE + HT_SIZE - 1 - i, blk)
        self.link(parent, name, hdr)

    def add_tree(self, parent, path):
        name = os.path.basename(os.path.normpath(path))
        if os.path.isdir(path):
            blk = self.mkdir(parent, name)
            for entry in sorted(os.listdir(path)):
                self.add_tree(blk, os.path.join(path, entry))
        else:
            with open(path, 'rb') as f:
                self.add_file(parent, name, f.read())

    def image(self):
        # Bitmap: one bit a block from block 2 on, low bit first, 1 = free.
        for blk in range(2, self.count):
            if blk not in self.blocks:
                bm, bit = self.bitmap[(blk - 2) // (127 * 32)], (blk - 2) % (127 * 32)
                self.put(bm, 1 + bit // 32, self.get(bm, 1 + bit // 32) | 1 << (bit % 32))
        out = bytearray(self.count * BSIZE)
        for blk, data in self.blocks.items():
            total = sum(struct.unpack('>128L', data)) & 0xFFFFFFFF
            struct.pack_into('>L', data, self.csum_at[blk] * 4, -total & 0xFFFFFFFF)
            out[blk * BSIZE:(blk + 1) * BSIZE] = data
        # Boot block: "DOS\0" (OFS), end-around-carry checksum, root pointer.
        out[0:4] = b'DOS\0'
        struct.pack_into('>L', out, 8, self.root)
        total = 0
        for (v,) in struct.iter_unpack('>L', out[:1024]):
            total += v
            total = (total & 0xFFFFFFFF) + (total >> 32)
        struct.pack_into('>L', out, 4, ~total & 0xFFFFFFFF)
        return out


def write_demo(top, hd):
    """The built-in file set, written out under top."""
    files = {'empty': 0, 'short.txt': 100, 'notesdi.txt': 300,  # same hash slot
             'one.blk': DATA_BYTES, 'medium.bin': 5000,
             'full.hdr': HT_SIZE * DATA_BYTES, 'large.bin': 60000,
             'Docs/readme.txt': 2000, 'Docs/Deep/twoext.bin': 80000}
    if hd:
        files['huge.bin'] = 1000000             # more than a DD disk holds
    for seq, (rel, size) in enumerate(sorted(files.items())):
        path = os.path.join(top, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if rel.endswith('.txt'):
            line = ('%s line of text for the volume test\n' % rel).encode()
            data = (line * (size // len(line) + 1))[:size]
        else:
            data = random.Random(seq).randbytes(size)
        with open(path, 'wb') as f:
            f.write(data)


def main():
    ap = argparse.ArgumentParser(description='Writes an AmigaDOS OFS disk image.')
    ap.add_argument('out')
    ap.add_argument('files', nargs='*')
    ap.add_argument('--hd', action='store_true', help='22 sectors a track (1.76 MB)')
    ap.add_argument('--name', default='Test', help='volume name')
    ap.add_argument('--demo', metavar='DIR', help='write the built-in files to DIR and use them')
    args = ap.parse_intermixed_args()
    vol = Volume(3520 if args.hd else 1760, args.name)
    if args.demo:
        write_demo(args.demo, args.hd)
        for entry in sorted(os.listdir(args.demo)):
            vol.add_tree(vol.root, os.path.join(args.demo, entry))
    for path in args.files:
        vol.add_tree(vol.root, path)
    with open(args.out, 'wb') as f:
        f.write(vol.image())


if __name__ == '__main__':
    main()
