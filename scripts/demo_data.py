"""Sample data for the demo: an SQLite database with weight and action rows,
the two .dbf templates on the share, and a report of what a run left.

setup DEMO_DIR     creates DEMO_DIR/marrowby.db and DEMO_DIR/share/netw/...
report DEMO_DIR    shows the .dbf files with their records and the marks
"""
import datetime
import glob
import os
import sqlite3
import sys

WEIGHT_FIELDS = ('MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); GROSS N(10,2); TARE N(10,2); '
                 'OPERATOR C(20); CHECKED L; REMARK M')
ACTION_FIELDS = 'MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); ACTION C(30); REMARK M'


def setup(demo):
    import dbf
    netw = os.path.join(demo, 'share', 'netw')
    for sub in ('weight', 'action'):
        os.makedirs(os.path.join(netw, sub), exist_ok=True)
    for name, fields in (('gstru.dbf', WEIGHT_FIELDS), ('astru.dbf', ACTION_FIELDS)):
        path = os.path.join(netw, name)
        if not os.path.exists(path):
            table = dbf.Table(path, fields, dbf_type='fp', codepage='cp1252')
            table.open(dbf.READ_WRITE)
            table.close()

    db = os.path.join(demo, 'marrowby.db')
    if os.path.exists(db):
        os.remove(db)
    con = sqlite3.connect(db)
    con.executescript('''
        create table weight (rec_num integer primary key, machine integer, dat_e date, tim_e varchar(8),
                             gross decimal(10,2), tare decimal(10,2), operator varchar(20), checked integer,
                             remark text, convtd integer);
        create table action (rec_num integer primary key, machine integer, dat_e date, tim_e varchar(8),
                             action varchar(30), remark text, convtd integer);
    ''')
    day = datetime.date(2026, 12, 7)
    rows = []
    rec = 0
    for machine in (3, 7, None):
        for d in range(2):
            for t in range(3):
                rec += 1
                rows.append((rec, machine, (day + datetime.timedelta(days=d)).isoformat(), '%02d:15:00' % (8 + t),
                             1000 + rec * 3.5, 250.25, 'operator %d' % rec, rec % 2,
                             'remark for row %d\nsecond line' % rec if rec % 3 == 0 else None, None))
    con.executemany('insert into weight values (?,?,?,?,?,?,?,?,?,?)', rows)
    con.executemany('insert into action values (?,?,?,?,?,?,?)', [
        (1, 3, day.isoformat(), '07:00:00', 'scale zeroed', None, None),
        (2, 3, day.isoformat(), '12:30:00', 'calibration', 'weights 10 kg and 20 kg', None),
        (3, 7, day.isoformat(), '09:10:00', 'door open', None, None),
    ])
    con.commit()
    con.close()


def report(demo):
    import dbfread
    for path in sorted(glob.glob(os.path.join(demo, 'share', 'netw', '*', '*.dbf'))):
        table = dbfread.DBF(path)
        records = list(table)
        print('%s: %d records' % (os.path.relpath(path, demo), len(records)))
        for r in records[:3]:
            shown = {k: v for k, v in r.items() if v not in (None, '')}
            print('    %s' % shown)
    con = sqlite3.connect(os.path.join(demo, 'marrowby.db'))
    for table in ('weight', 'action'):
        total, marked = con.execute('select count(*), sum(ifnull(convtd,0) > 0) from %s' % table).fetchone()
        print('%s: %d of %d rows marked converted' % (table, marked or 0, total))
    con.close()


if __name__ == '__main__':
    {'setup': setup, 'report': report}[sys.argv[1]](sys.argv[2])
