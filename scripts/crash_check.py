"""Rows, templates and the final verdict of scripts/crash-test.

Database access goes through pyodbc with the registry of scripts/testdb
(its env.sh must be sourced); files are read with python3-dbf and dbfread,
never with our own engine, and dbfcheck is run on every file.

templates NETW DBFINDEX   the two templates (FoxPro, memo, production index)
seed ROWS                 (re)creates weight and action with ROWS rows each
add ROWS [DAYS]           adds ROWS new rows to each table, over DAYS days
                          (some of them new days, so new files are made)
pending                   prints how many rows are still unmarked
connections               prints the ids of the converter's connections
check NETW DBFCHECK [LOST] every row in exactly one record of its file,
                          marked with that record's number; both readers
                          agree; dbfcheck passes on every file; no row left.
                          Rows named by the journal lines in LOST (notes a
                          cut took from a journal, which the program said
                          may be copied twice) may be in two records. With
                          CRASH_ALLOW_DELETED=1 a deleted record (one a full
                          disk kept from being taken back) is no copy, and
                          no row may be marked with it.
jpending JOURNAL          prints how many notes the journal holds unsettled
cut JOURNAL LOST          cuts the journal to half its length, adds what it
                          lost to LOST, and prints "expect" when the size
                          the program last knew for it is larger (so it must
                          say the journal was cut), else "quiet"
"""
import datetime
import decimal
import glob
import os
import random
import subprocess
import sys

WEIGHT_FIELDS = ('MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); GROSS N(10,2); '
                 'OPERATOR C(20); OK L; NOTE M')
WEIGHT_TAGS = ['DAYREC=DTOS(DAT_E)+STR(REC_NUM,10)', 'RECNUM=REC_NUM', 'OKTIME=TIM_E@OK']
ACTION_FIELDS = 'MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); CODE C(10); NOTE M'
ACTION_TAGS = ['RECNUM=REC_NUM', 'CODE=UPPER(CODE)']
FIRST_DAY = datetime.date(2026, 11, 2)


def connect():
    import pyodbc
    env = os.environ
    cs = ('DRIVER={MySQL ODBC 3.51 Driver};SERVER=127.0.0.1;PORT=%s;DATABASE=%s;UID=%s;PWD=%s;CONN_TIMEOUT=5' %
          (env['TIDEWELL_TEST_MARIADB_PORT'], env['TIDEWELL_TEST_MARIADB_DATABASE'],
           env['TIDEWELL_TEST_MARIADB_USER'], env['TIDEWELL_TEST_MARIADB_PASSWORD']))
    return pyodbc.connect(cs, autocommit=True)


def templates(netw, dbfindex):
    import dbf
    for name, fields, tags in (('gstru', WEIGHT_FIELDS, WEIGHT_TAGS), ('astru', ACTION_FIELDS, ACTION_TAGS)):
        plain = os.path.join(netw, name + '_plain.dbf')
        table = dbf.Table(plain, fields, dbf_type='fp', codepage='cp1252')
        table.open(dbf.READ_WRITE)
        table.close()
        subprocess.run([dbfindex, plain, os.path.join(netw, name + '.dbf')] + tags, check=True)
        for f in glob.glob(os.path.join(netw, name + '_plain.*')):
            os.remove(f)


def note_of(i):
    # A memo on most rows, some over several blocks, some none.
    if i % 7 == 0:
        return None
    return ('weighing %d ' % i) * (1 + i % 6)


def insert(cur, table, first, count, days, rng):
    rows = []
    for i in range(first, first + count):
        machine = rng.choice([1, 2, 3, 4, 5, 6, 0, None]) if i % 50 else None
        day = FIRST_DAY + datetime.timedelta(days=rng.randrange(days))
        tim = '%02d:%02d:%02d' % (rng.randrange(24), rng.randrange(60), rng.randrange(60))
        if table == 'weight':
            rows.append((i, machine, day, tim, '%d.%02d' % (rng.randrange(5000), rng.randrange(100)),
                         'operator %d' % (i % 13), i % 2, note_of(i)))
        else:
            rows.append((i, machine, day, tim, 'C%d' % (i % 97), note_of(i)))
    marks = '(' + ','.join('?' * len(rows[0])) + ',NULL)'
    for start in range(0, len(rows), 200):
        chunk = rows[start:start + 200]
        cur.execute('insert into %s values %s' % (table, ','.join([marks] * len(chunk))),
                    [v for row in chunk for v in row])


def seed(rows):
    con = connect()
    cur = con.cursor()
    cur.fast_executemany = False
    for table in ('weight', 'action'):
        cur.execute('drop table if exists %s' % table)
    cur.execute('create table weight (rec_num int primary key, machine int, dat_e date, tim_e varchar(8), '
                'gross decimal(10,2), operator varchar(20), ok tinyint, note text, convtd int) engine=InnoDB')
    cur.execute('create table action (rec_num int primary key, machine int, dat_e date, tim_e varchar(8), '
                'code varchar(10), note text, convtd int) engine=InnoDB')
    rng = random.Random(4711)
    for table in ('weight', 'action'):
        insert(cur, table, 1, rows, 6, rng)


def add(rows, days):
    con = connect()
    cur = con.cursor()
    rng = random.Random()
    for table in ('weight', 'action'):
        first = cur.execute('select ifnull(max(rec_num),0)+1 from %s' % table).fetchone()[0]
        insert(cur, table, first, rows, days, rng)


def pending():
    cur = connect().cursor()
    n = sum(cur.execute('select count(*) from %s where ifnull(convtd,0)=0' % t).fetchone()[0]
            for t in ('weight', 'action'))
    print(n)


def connections():
    cur = connect().cursor()
    me = cur.execute('select connection_id()').fetchone()[0]
    for (cid,) in cur.execute("select id from information_schema.processlist where user=? and id<>?",
                              os.environ['TIDEWELL_TEST_MARIADB_USER'], me).fetchall():
        print(cid)


def norm(value):
    if value is None:
        return ''
    if isinstance(value, bool):
        return 'T' if value else 'F'
    if isinstance(value, datetime.date):
        return value.strftime('%Y%m%d')
    if isinstance(value, bytes):
        value = value.decode('latin-1')
    if isinstance(value, (float, decimal.Decimal)):
        return '%.2f' % float(value)
    return str(value).rstrip()


def read_both(path):
    """The records as python3-dbf and dbfread see them; they must agree."""
    import dbf
    import dbfread
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    names = [n.lower() for n in table.field_names]
    a = [({n: norm(r[n]) for n in names}, dbf.is_deleted(r)) for r in table]
    table.close()
    t = dbfread.DBF(path, load=False, ignore_missing_memofile=False, char_decode_errors='replace')
    b = [({k.lower(): norm(v) for k, v in r.items()}, False) for r in t.records]
    b += [({k.lower(): norm(v) for k, v in r.items()}, True) for r in t.deleted]
    key = lambda x: (x[1], x[0].get('rec_num', ''))
    if sorted(a, key=key) != sorted(b, key=key):
        raise AssertionError('%s: python3-dbf and dbfread disagree' % path)
    return a


def journal_lines(text):
    """(kind, seq, table, rec_num) of each whole line of a journal text."""
    out = []
    for line in text.split(b'\n'):
        parts = line.decode('latin-1').split(' ')
        if len(parts) < 3:
            continue
        kind = parts[1]
        if kind == 'N' and len(parts) == 11:
            rec_num = parts[7]
            out.append(('N', parts[2], parts[3], rec_num))
        elif kind == 'S':
            out.append(('S', parts[2], None, None))
    return out


def jpending(path):
    notes = {}
    if os.path.exists(path):
        for kind, seq, table, rec_num in journal_lines(open(path, 'rb').read()):
            if kind == 'N':
                notes[seq] = (table, rec_num)
            else:
                notes.pop(seq, None)
    print(len(notes))


def cut(path, lost):
    data = open(path, 'rb').read()
    keep = len(data) // 2
    with open(lost, 'ab') as f:
        # From the start of the line the cut goes through: its note is lost too.
        f.write(data[data.rfind(b'\n', 0, keep) + 1:] + b'\n')
    with open(path, 'r+b') as f:
        f.truncate(keep)
    known = 0
    try:
        line = open(path + '.len', 'rb').read().decode('latin-1').strip().split(' ')
        known = int(line[2]) if len(line) == 3 and line[1] == 'L' else 0
    except (OSError, ValueError):
        pass
    print('expect' if known > keep else 'quiet')


def allowed_twice(lost):
    allowed = set()
    if lost and os.path.exists(lost):
        for kind, _, table, rec_num in journal_lines(open(lost, 'rb').read()):
            if kind == 'N':
                allowed.add((table, int(rec_num)))
    return allowed


def check(netw, dbfcheck, lost=None):
    faults = []
    twice = allowed_twice(lost)
    allowed_seen = 0
    taken_back = set()
    files = sorted(glob.glob(os.path.join(netw, 'weight', '*.dbf')) + glob.glob(os.path.join(netw, 'action', '*.dbf')))
    for path in files:
        r = subprocess.run([dbfcheck, path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            faults.append('dbfcheck %s:\n%s' % (path, r.stdout))
    cur = connect().cursor()
    total = 0
    for table in ('weight', 'action'):
        where = {}  # rec_num -> [(file name, record number)]
        for path in glob.glob(os.path.join(netw, table, '*.dbf')):
            for number, (record, deleted) in enumerate(read_both(path), start=1):
                if deleted and os.environ.get('CRASH_ALLOW_DELETED') == '1':
                    # Taken back where it could not be removed (a full
                    # disk): no copy, but it must be no row's record.
                    taken_back.add((table, os.path.basename(path), number))
                    continue
                if deleted:
                    faults.append('%s: record %d is deleted' % (path, number))
                where.setdefault(int(float(record['rec_num'])), []).append((os.path.basename(path), number, record))
        rows = cur.execute('select rec_num, machine, dat_e, convtd, note from %s' % table).fetchall()
        total += len(rows)
        for rec_num, machine, dat_e, convtd, note in rows:
            name = '%s%02d.dbf' % (dat_e.strftime('%m%d%y'), machine or 0)
            copies = where.pop(rec_num, [])
            if not convtd:
                faults.append('%s rec_num=%d is not marked' % (table, rec_num))
                continue
            if len(copies) == 2 and (table, rec_num) in twice:
                # A note the cut took: both records hold the row, the mark
                # names one of them.
                allowed_seen += 1
                copies.sort(key=lambda c: c[1] != convtd)
            elif len(copies) != 1:
                faults.append('%s rec_num=%d is in %d records: %s' %
                              (table, rec_num, len(copies), [(f, n) for f, n, _ in copies]))
                continue
            f, n, record = copies[0]
            if (table, name, convtd) in taken_back:
                faults.append('%s rec_num=%d is marked %d, a deleted record of %s' % (table, rec_num, convtd, name))
            if f != name or n != convtd:
                faults.append('%s rec_num=%d marked %d, but its record is %d of %s (wanted %s)' %
                              (table, rec_num, convtd, n, f, name))
            if record['note'] != (note or '').strip()[:254].rstrip():
                faults.append('%s rec_num=%d: the memo of record %d of %s differs' % (table, rec_num, n, f))
        for rec_num, copies in where.items():
            faults.append('%s: records of no row (rec_num=%d): %s' % (table, rec_num, [(f, n) for f, n, _ in copies]))
    for f in faults[:40]:
        print(f)
    if len(faults) > 40:
        print('... and %d more' % (len(faults) - 40))
    if taken_back:
        print('%d deleted records (taken back where a full disk kept them from going)' % len(taken_back))
    if allowed_seen:
        print('%d rows in two records, each named by a note a cut took from a journal' % allowed_seen)
    print('%d rows, %d files: %s' % (total, len(files), 'OK' if not faults else '%d faults' % len(faults)))
    return 1 if faults else 0


def main():
    cmd = sys.argv[1] if len(sys.argv) > 1 else ''
    if cmd == 'templates':
        templates(sys.argv[2], sys.argv[3])
    elif cmd == 'seed':
        seed(int(sys.argv[2]))
    elif cmd == 'add':
        add(int(sys.argv[2]), int(sys.argv[3]) if len(sys.argv) > 3 else 8)
    elif cmd == 'pending':
        pending()
    elif cmd == 'connections':
        connections()
    elif cmd == 'check':
        return check(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
    elif cmd == 'jpending':
        jpending(sys.argv[2])
    elif cmd == 'cut':
        cut(sys.argv[2], sys.argv[3])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main())
