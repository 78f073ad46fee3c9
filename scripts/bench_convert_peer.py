"""The job done the way a user would script it instead: pyodbc for the
database, python3-dbf for the files; the same select, the same groups, one
UPDATE per row with autocommit.

template PATH                 creates the benchmark's FoxPro template
run CONNSTR SHARE TEMPLATE    converts the weight table; prints rows and seconds
"""
import datetime
import os
import sys
import time

FIELDS = ('MACHINE N(3,0); DAT_E D; TIM_E C(8); REC_NUM N(10,0); GROSS N(10,2); TARE N(10,2); NET N(10,2); '
          'OPERATOR C(20); PRODUCT C(30); CHECKED L; LOT C(10); REMARK M')


def template(path):
    import dbf
    t = dbf.Table(path, FIELDS, dbf_type='fp', codepage='cp1252')
    t.open(dbf.READ_WRITE)
    t.close()


def run(connstr, share, template_path):
    import dbf
    import pyodbc
    start = time.perf_counter()
    con = pyodbc.connect(connstr, autocommit=True)
    sel = con.cursor()
    upd = con.cursor()
    sel.execute('select * from weight where ifnull(convtd,0)=0 order by machine,dat_e,tim_e,rec_num')
    columns = [c[0].lower() for c in sel.description]
    tmpl = dbf.Table(template_path)
    names = [n.lower() for n in tmpl.field_names]
    types = {n.lower(): tmpl.field_info(n)[0] for n in tmpl.field_names}
    out = None
    current = None
    count = 0
    for row in sel:
        values = dict(zip(columns, row))
        machine = values['machine'] or 0
        date = values['dat_e']
        if (machine, date) != current:
            current = (machine, date)
            if out is not None:
                out.close()
            path = os.path.join(share, 'netw', 'weight', '%s%02d.dbf' % (date.strftime('%m%d%y'), machine))
            if not os.path.exists(path):
                tmpl.new(path).close()
            out = dbf.Table(path)
            out.open(dbf.READ_WRITE)
        record = {}
        for n in names:
            v = values.get(n)
            if types[n] == ord('L'):
                record[n] = bool(v)
            elif types[n] == ord('D'):
                record[n] = v
            elif v is not None:
                record[n] = str(v).strip()[:254] if types[n] in (ord('C'), ord('M')) else v
        out.append(record)
        recno = len(out)
        cond = 'machine=%d' % machine
        if machine == 0:
            cond = '(%s or machine is null)' % cond
        upd.execute('update weight set convtd=%d where %s and rec_num=%s' % (recno, cond, values['rec_num']))
        count += 1
    if out is not None:
        out.close()
    con.close()
    print('%d %.6f' % (count, time.perf_counter() - start))


if __name__ == '__main__':
    if sys.argv[1] == 'template':
        template(sys.argv[2])
    else:
        run(sys.argv[2], sys.argv[3], sys.argv[4])
