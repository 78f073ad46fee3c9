"""Independent reading and writing of .dbf files for the conversion tests.

template PATH FIELDS [KIND]
    creates an empty table with python3-dbf (KIND fp by default), FIELDS in
    python3-dbf's notation, e.g. "MACHINE N(3,0); DAT_E D; NOTE M".
dump PATH
    prints one line per record, read with python3-dbf and with dbfread (the
    two readers must agree, or the script fails): "*" for a deleted record
    or "-", then NAME=VALUE for each field, separated by tabs; numbers as
    Python floats, dates as YYYYMMDD, logicals as T/F, blanks as nothing.
records PATH...
    for each file, read with both readers (which must agree), one line per
    record: PATH, the record number, "*" or "-", the rec_num field.
"""
import datetime
import decimal
import json
import sys


def norm(value):
    if value is None:
        return None
    if isinstance(value, bool):
        return 'T' if value else 'F'
    if isinstance(value, datetime.date):
        return value.strftime('%Y%m%d')
    if isinstance(value, (int, float, decimal.Decimal)):
        return float(value)
    if isinstance(value, bytes):
        value = value.decode('latin-1')
    return str(value).rstrip()


def with_dbf(path):
    import dbf
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    names = [n.lower() for n in table.field_names]
    rows = []
    for record in table:
        row = {n: norm(record[n]) for n in names}
        row['_deleted'] = dbf.is_deleted(record)
        rows.append(row)
    table.close()
    return rows


def with_dbfread(path):
    import dbfread
    table = dbfread.DBF(path, load=False, ignore_missing_memofile=False, char_decode_errors='replace')
    rows = []
    for record in table.deleted:
        pass
    for deleted, source in ((False, table.records), (True, table.deleted)):
        for record in source:
            row = {k.lower(): norm(v) for k, v in record.items()}
            row['_deleted'] = deleted
            rows.append(row)
    return rows


def main():
    cmd = sys.argv[1]
    if cmd == 'template':
        import dbf
        kind = sys.argv[4] if len(sys.argv) > 4 else 'fp'
        table = dbf.Table(sys.argv[2], sys.argv[3], dbf_type=kind, codepage='cp1252')
        table.open(dbf.READ_WRITE)
        table.close()
        return 0
    if cmd == 'dump':
        a = with_dbf(sys.argv[2])
        b = sorted(with_dbfread(sys.argv[2]), key=lambda r: r['_deleted'])
        a_sorted = sorted(a, key=lambda r: r['_deleted'])
        # Dates of blank date fields read differently (None vs ''): compare loosely.
        def loose(rows):
            return [{k: (v if v not in ('', None) else None) for k, v in r.items()} for r in rows]
        if loose(a_sorted) != loose(b):
            print('readers disagree:\n%s\n%s' % (json.dumps(a_sorted), json.dumps(b)), file=sys.stderr)
            return 1
        for row in loose(a):
            parts = ['*' if row.pop('_deleted') else '-']
            for k, v in row.items():
                parts.append('%s=%s' % (k, '' if v is None else v))
            print('\t'.join(parts))
        return 0
    if cmd == 'set':
        import dbf
        table = dbf.Table(sys.argv[2])
        table.open(dbf.READ_WRITE)
        field, value = sys.argv[4].lower(), sys.argv[5]
        if chr(table.field_info(field)[0]) in 'NF':
            value = float(value)
        with table[int(sys.argv[3]) - 1] as record:
            record[field] = value
        table.close()
        return 0
    if cmd == 'append-copy':
        import dbf
        table = dbf.Table(sys.argv[2])
        table.open(dbf.READ_WRITE)
        table.append(dbf.scatter(table[int(sys.argv[3]) - 1]))
        table.close()
        return 0
    if cmd == 'records':
        for path in sys.argv[2:]:
            a = with_dbf(path)
            b = with_dbfread(path)
            key = lambda r: (r['_deleted'], str(r.get('rec_num')))
            def loose(rows):
                return sorted(({k: (v if v not in ('', None) else None) for k, v in r.items()} for r in rows),
                              key=key)
            if loose(a) != loose(b):
                print('%s: readers disagree' % path, file=sys.stderr)
                return 1
            for number, row in enumerate(a, start=1):
                print('%s\t%d\t%s\t%s' % (path, number, '*' if row['_deleted'] else '-', row.get('rec_num')))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main())
