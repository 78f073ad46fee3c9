"""python3-dbf appending the rows bench/xbase_append/main.cpp appends, to a
new FoxPro table with a memo field; prints records per second.
    python_append.py DIR [RECORDS]"""
import sys
import time

import dbf

FIELDS = ('MACHINE N(4,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); WEIGHT N(10,3); TARE N(8,3); '
        'OPERATOR C(20); PRODUCT C(30); OK L; LOT C(12); PIECES N(6,0); NOTE M')


def row(i):
    import datetime
    return (i % 50, datetime.date(2004, 1 + i % 12, 1 + i % 28),
            '%02d:%02d:%02d' % (i // 3600 % 24, i // 60 % 60, i % 60), i + 1,
            float('%d.%03d' % (i % 5000, i % 1000)), float('%d.%03d' % (i % 50, (i * 7) % 1000)),
            'operator %d' % (i % 17), 'product number %d' % (i % 331), bool(i % 3), 'LOT%d' % (i % 9973),
            i % 1000, 'weighing %d of machine %d, checked and accepted by the line supervisor' % (i + 1, i % 50))


def main(directory, records):
    table = dbf.Table(directory + '/python_out', FIELDS, dbf_type='fp', codepage='cp1252')
    start = time.monotonic()
    table.open(dbf.READ_WRITE)
    for i in range(records):
        table.append(row(i))
    table.close()
    seconds = time.monotonic() - start
    print('python3-dbf: %d records in %.2f s: %.0f records/s' % (records, seconds, records / seconds))


if __name__ == '__main__':
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 100000)
