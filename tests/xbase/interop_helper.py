"""Independent readers and writers for the engine's interoperability tests.

make-template KIND PATH CODEPAGE
    creates a table of flavour KIND (db3, fp, vfp) with python3-dbf, with one
    field of each type the flavour has, and appends the rows of ROWS[KIND].
check READER PATH EXPECTED_JSON [ENCODING]
    reads PATH with READER (dbf or dbfread) and compares every record with
    the expected list of {field: value}; prints the differences, exit 1.
    ENCODING (dbfread only) reads the texts of a table whose header names no
    code page; a byte that does not decode is a difference.
dump READER PATH
    prints the records as JSON, for eyes.
"""
import datetime
import decimal
import json
import sys

FIELDS = {
    'db3': 'NAME C(20); QTY N(10,2); AMT F(12,3); DAT D; OK L; NOTE M',
    'fp': 'NAME C(20); QTY N(10,2); AMT F(12,3); DAT D; OK L; NOTE M',
    'vfp': 'NAME C(20); QTY N(10,2); AMT F(12,3); DAT D; OK L; NOTE M; CNT I; DBL B; CUR Y; TS T; PIC G',
}

ROWS = {
    'db3': [('Zoë', 12.5, -3.25, datetime.date(2004, 3, 5), True, 'first memo\nline two')],
    'fp': [('Zoë', 12.5, -3.25, datetime.date(2004, 3, 5), True, 'first memo\nline two')],
    'vfp': [('Zoë', 12.5, -3.25, datetime.date(2004, 3, 5), True, 'first memo\nline two',
             -42, 2.5, decimal.Decimal('19.9900'), datetime.datetime(2004, 3, 5, 12, 34, 56), b'')],
}


def make_template(kind, path, codepage):
    import dbf
    table = dbf.Table(path, FIELDS[kind], dbf_type=kind, codepage=codepage)
    table.open(dbf.READ_WRITE)
    for row in ROWS[kind]:
        table.append(row)
    table.close()


def normalise(value):
    if value is None:
        return None
    if isinstance(value, bool):
        return value
    if isinstance(value, datetime.datetime):
        return value.strftime('%Y%m%d%H%M%S')
    if isinstance(value, datetime.date):
        return value.strftime('%Y%m%d')
    if isinstance(value, (int, float, decimal.Decimal)):
        return float(value)
    if isinstance(value, bytes):
        return value.decode('latin-1')
    if isinstance(value, str):
        return value.rstrip(' ')
    return str(value)


def read_records(reader, path, encoding=None):
    if reader == 'dbf':
        import dbf
        table = dbf.Table(path)
        table.open(dbf.READ_ONLY)
        names = table.field_names
        records = []
        for record in table:
            records.append({n.upper(): normalise(record[n]) for n in names})
        table.close()
        return records
    import dbfread
    return [{k.upper(): normalise(v) for k, v in r.items()}
            for r in dbfread.DBF(path, encoding=encoding, char_decode_errors='strict')]


def same(want, got):
    if isinstance(want, (int, float)) and not isinstance(want, bool):
        return isinstance(got, float) and abs(want - got) <= 1e-9 * max(1.0, abs(want))
    if want == '' and got is None:
        return True  # readers differ in how they show an empty value
    return want == got


def check(reader, path, expected_path, encoding=None):
    with open(expected_path, encoding='utf-8') as f:
        expected = json.load(f)
    try:
        records = read_records(reader, path, encoding)
    except UnicodeDecodeError as e:
        print('a text does not decode: %s' % e)
        return 1
    problems = []
    if len(records) != len(expected):
        problems.append('%d records, expected %d' % (len(records), len(expected)))
    for i, (want, got) in enumerate(zip(expected, records), 1):
        for name, value in want.items():
            if name not in got:
                problems.append('record %d: no field %s' % (i, name))
            elif not same(value, got[name]):
                problems.append('record %d field %s: %r, expected %r' % (i, name, got[name], value))
    for p in problems:
        print(p)
    return 1 if problems else 0


def main(argv):
    if argv[1] == 'make-template':
        make_template(argv[2], argv[3], argv[4])
        return 0
    if argv[1] == 'check':
        return check(argv[2], argv[3], argv[4], argv[5] if len(argv) > 5 else None)
    if argv[1] == 'dump':
        print(json.dumps(read_records(argv[2], argv[3]), ensure_ascii=False, indent=1))
        return 0
    print(__doc__)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
