"""Writes seed inputs for table_fuzz: tables of each flavour python3-dbf
writes, with memos, packed as the fuzz target reads its input."""
import datetime
import os
import struct
import sys
import tempfile

import dbf

FLAVOURS = {
    'db3': ('NAME C(12); QTY N(8,2); DAT D; OK L; NOTE M', '.dbt', 0),
    'fp': ('NAME C(12); QTY N(8,2); DAT D; OK L; NOTE M; AMT F(10,3)', '.fpt', 1),
    'vfp': ('NAME C(12); QTY N(8,2); DAT D; OK L; NOTE M; CNT I; DBL B; CUR Y; TS T', '.fpt', 1),
}


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for kind, (fields, ext, selector) in FLAVOURS.items():
            for rows in (0, 1, 3):
                base = os.path.join(work, '%s%d' % (kind, rows))
                table = dbf.Table(base, fields, dbf_type=kind, codepage='cp1252')
                table.open(dbf.READ_WRITE)
                for i in range(rows):
                    values = ['n%d' % i, i * 1.5, datetime.date(2004, 3, 5 + i), i % 2 == 0, 'memo %d ' % i * (i + 1)]
                    if kind == 'fp':
                        values += [-i / 4.0]
                    if kind == 'vfp':
                        values += [i, i / 3.0, 1.25, datetime.datetime(2004, 3, 5, 1, 2, 3)]
                    table.append(tuple(values))
                table.close()
                with open(base + '.dbf', 'rb') as f:
                    table_bytes = f.read()
                with open(base + ext, 'rb') as f:
                    memo_bytes = f.read()
                seed = bytes([selector]) + struct.pack('<I', len(table_bytes)) + table_bytes + memo_bytes
                with open(os.path.join(out_dir, '%s%d' % (kind, rows)), 'wb') as f:
                    f.write(seed)


if __name__ == '__main__':
    main(sys.argv[1])
