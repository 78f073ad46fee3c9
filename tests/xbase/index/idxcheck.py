#!/usr/bin/python3
"""Independent reader of compound (.cdx) and dBASE IV (.mdx) index files.

Written from the published file layouts, not from the engine's code, so that
the engine's files are checked by a second pair of eyes:

    idxcheck.py INDEX [--dbf TABLE]

A .cdx file does not record key types: they come from evaluating each tag's
expression on the table's fields, so give --dbf for .cdx files with numeric
or date tags.
Walks every tag: node bounds, sibling chains, leaf depth, interior keys
against their children, leaf free space, and key order (equal keys by record
number). With --dbf, every tag whose expressions this reader can evaluate is
compared with the table: each record that passes the FOR condition has
exactly one key, equal to its expression (a unique tag: the first record of
each key), and no other record is present.

Prints one line per tag ("tag NAME keys=N checked=yes|no") and one line per
fault ("FAULT: ..."); exits 1 when there is any fault.
"""
import datetime
import struct
import sys

faults = []


def fault(msg):
    faults.append(msg)
    print("FAULT: " + msg)


def le16(b, o):
    return struct.unpack_from("<H", b, o)[0]


def le32(b, o):
    return struct.unpack_from("<I", b, o)[0]


def be32(b, o):
    return struct.unpack_from(">I", b, o)[0]


def cstr(b):
    return b.split(b"\0", 1)[0].decode("latin-1").strip()


# --------------------------------------------------------------------------
# .cdx

class Cdx:
    def __init__(self, data):
        self.data = data

    def walk(self, root, keylen, trail):
        """Returns [(key bytes, recno)] in tree order, checking the structure."""
        out = []
        levels = {}
        seen = set()
        leaf_depths = set()

        def node(off, depth, is_root):
            if off % 512 or off < 512 or off + 512 > len(self.data):
                raise ValueError("node offset %d outside the file" % off)
            if off in seen:
                raise ValueError("node %d reached twice" % off)
            seen.add(off)
            n = self.data[off:off + 512]
            attr, count = le16(n, 0), le16(n, 2)
            if bool(attr & 1) != is_root:
                fault("node %d: root bit %s" % (off, "missing" if is_root else "set"))
            levels.setdefault(depth, []).append((off, le32(n, 4), le32(n, 8)))
            if attr & 2:
                leaf_depths.add(depth)
                self.leaf(n, off, count, keylen, trail, out)
                return
            step = keylen + 8
            if count == 0 or count * step > 500:
                raise ValueError("interior node %d has %d entries" % (off, count))
            for i in range(count):
                e = 12 + i * step
                key, rec, child = n[e:e + keylen], be32(n, e + keylen), be32(n, e + keylen + 4)
                before = len(out)
                node(child, depth + 1, False)
                if len(out) == before:
                    raise ValueError("interior node %d points at an empty node" % off)
                if out[-1] != (key, rec):
                    fault("interior node %d entry %d is not its child's last key" % (off, i))

        node(root, 0, True)
        if len(leaf_depths) > 1:
            fault("leaves at depths %s" % sorted(leaf_depths))
        for depth, nodes in levels.items():
            for i, (off, left, right) in enumerate(nodes):
                want_left = nodes[i - 1][0] if i > 0 else 0xFFFFFFFF
                want_right = nodes[i + 1][0] if i + 1 < len(nodes) else 0xFFFFFFFF
                if left != want_left or right != want_right:
                    fault("node %d: sibling pointers %x/%x, expected %x/%x" % (off, left, right, want_left, want_right))
        return out

    def leaf(self, n, off, count, keylen, trail, out):
        free = le16(n, 12)
        recmask, dupmask, trailmask = le32(n, 14), n[18], n[19]
        recbits, dupbits, trailbits, nbytes = n[20], n[21], n[22], n[23]
        if count and (nbytes == 0 or recbits + dupbits + trailbits > nbytes * 8 or count * nbytes > 488):
            raise ValueError("leaf %d has an impossible layout" % off)
        if recmask != (1 << recbits) - 1 or dupmask != (1 << dupbits) - 1 or trailmask != (1 << trailbits) - 1:
            fault("leaf %d: masks disagree with bit counts" % off)
        area = n[24:512]
        end = 488
        prev = b""
        for i in range(count):
            v = int.from_bytes(area[i * nbytes:(i + 1) * nbytes], "little")
            rec = v & recmask
            dup = (v >> recbits) & dupmask
            tr = (v >> (recbits + dupbits)) & trailmask
            if dup > len(prev) or dup + tr > keylen:
                raise ValueError("leaf %d entry %d: bad counts" % (off, i))
            stored = keylen - dup - tr
            end -= stored
            if end < count * nbytes:
                raise ValueError("leaf %d: keys overlap entries" % off)
            key = prev[:dup] + area[end:end + stored] + bytes([trail]) * tr
            out.append((key, rec))
            prev = key
        if count and free != end - count * nbytes:
            fault("leaf %d: free space %d, expected %d" % (off, free, end - count * nbytes))

    def tags(self, key_type_of):
        d = self.data
        if len(d) < 1536:
            raise ValueError("file too short")
        directory = self.walk(le32(d, 0), le16(d, 12), 0x20)
        result = []
        for name, hdr in sorted(directory, key=lambda e: e[1]):
            name = name.decode("latin-1").rstrip(" \0")
            h = d[hdr:hdr + 1024]
            if len(h) < 1024:
                raise ValueError("tag %s header outside the file" % name)
            keylen, opts = le16(h, 12), h[14]
            pool = h[512:]
            expr = cstr(pool)
            rest = pool[pool.index(b"\0") + 1:] if b"\0" in pool else b""
            flt = cstr(rest) if opts & 0x08 else ""
            tag = {"name": name, "expr": expr, "for": flt, "unique": bool(opts & 1),
                   "descending": le16(h, 502) == 1, "keylen": keylen}
            ktype = key_type_of(tag)
            tag["type"] = ktype or "C"
            raw = self.walk(le32(h, 0), keylen, 0 if ktype in ("N", "D") else 0x20)
            tag["keys"] = raw
            tag["values"] = [decode_cdx(k, tag["type"]) for k, _ in raw]
            tag["stored_descending"] = False
            result.append(tag)
        return result


def decode_cdx(key, ktype):
    if ktype in ("N", "D"):
        bits = int.from_bytes(key, "big")
        bits = bits & ~(1 << 63) if bits >> 63 else ~bits & ((1 << 64) - 1)
        return struct.unpack(">d", bits.to_bytes(8, "big"))[0]
    return key


# --------------------------------------------------------------------------
# .mdx

def decode_bcd(b):
    count = (b[1] >> 2) & 0x1F
    digits = ""
    for i in range(count):
        byte = b[2 + i // 2]
        digits += str(byte >> 4 if i % 2 == 0 else byte & 0x0F)
    if not digits:
        return 0.0
    value = float("0." + digits + "e" + str(b[0] - 0x34))
    return -value if b[1] & 0x80 else value


class Mdx:
    def __init__(self, data):
        self.data = data

    def tags(self, key_type_of):
        d = self.data
        if len(d) < 2048:
            raise ValueError("file too short")
        block = le16(d, 22)
        if block != le16(d, 20) * 512 or block == 0:
            raise ValueError("bad block size")
        if le32(d, 32) * 512 != len(d):
            fault("header counts %d pages, the file has %d" % (le32(d, 32), len(d) // 512))
        result = []
        for t in range(le16(d, 28)):
            e = d[544 + 32 * t:576 + 32 * t]
            name = cstr(e[4:15])
            h = d[le32(e, 0) * 512:le32(e, 0) * 512 + block]
            if len(h) < block:
                raise ValueError("tag %s header outside the file" % name)
            ktype, keylen, item = chr(h[9]), le16(h, 12), le16(h, 18)
            if chr(e[20]) != ktype:
                fault("tag %s: table and header disagree on the key type" % name)
            tag = {"name": name, "expr": cstr(h[24:244]), "for": cstr(h[246:466]) if h[245] else "",
                   "unique": bool(h[8] & 0x40), "descending": bool(h[8] & 0x08), "keylen": keylen,
                   "type": ktype, "stored_descending": bool(h[8] & 0x08)}
            evaluated = key_type_of(tag)
            if evaluated in ("C", "N", "D") and evaluated != ktype:
                fault("tag %s: key type %s, the expression gives %s" % (name, ktype, evaluated))
            if item != (keylen + 4 + 3) // 4 * 4:
                fault("tag %s: key item length %d" % (name, item))
            out = []
            depths = set()
            seen = set()

            def node(page, depth):
                off = page * 512
                if page < 4 or off + block > len(d) or page in seen:
                    raise ValueError("node page %d bad or reached twice" % page)
                seen.add(page)
                n = d[off:off + block]
                count = le32(n, 0)
                if 8 + count * item + 4 > block:
                    raise ValueError("node %d claims %d keys" % (page, count))
                last = le32(n, 8 + count * item)
                for i in range(count):
                    p = 8 + i * item
                    key = n[p + 4:p + 4 + keylen]
                    if last == 0:
                        out.append((key, le32(n, p)))
                    else:
                        node(le32(n, p), depth + 1)
                        if out[-1][0] != key:
                            fault("tag %s node %d: key %d is not its child's last" % (name, page, i))
                if last == 0:
                    depths.add(depth)
                else:
                    node(last, depth + 1)

            node(le32(h, 0), 0)
            if len(depths) > 1:
                fault("tag %s: leaves at depths %s" % (name, sorted(depths)))
            tag["keys"] = out
            if ktype == "N":
                tag["values"] = [decode_bcd(k) for k, _ in out]
            elif ktype == "D":
                tag["values"] = [struct.unpack("<d", k)[0] for k, _ in out]
            else:
                tag["values"] = [k for k, _ in out]
            result.append(tag)
        return result


# --------------------------------------------------------------------------
# A small evaluator of key expressions, enough for the engine's tests.

class Unsupported(Exception):
    pass


def julian(y, m, d):
    return datetime.date(y, m, d).toordinal() + 1721425


class Evaluator:
    FUNCS = {"UPPER", "LOWER", "DTOS", "STR", "SUBSTR", "LEFT", "RIGHT", "TRIM", "RTRIM", "LTRIM",
             "ALLTRIM", "DELETED", "RECNO", "IIF", "VAL"}

    def __init__(self, text, fields):
        self.toks = self.lex(text)
        self.fields = fields
        self.pos = 0

    @staticmethod
    def lex(s):
        toks, i = [], 0
        while i < len(s):
            c = s[i]
            if c in " \t":
                i += 1
            elif s[i:i + 5].upper() in (".AND.",):
                toks.append(".AND."); i += 5
            elif s[i:i + 4].upper() == ".OR.":
                toks.append(".OR."); i += 4
            elif s[i:i + 5].upper() == ".NOT.":
                toks.append(".NOT."); i += 5
            elif s[i:i + 3].upper() in (".T.", ".F."):
                toks.append(("L", s[i + 1].upper() == "T")); i += 3
            elif c in "\"'":
                j = s.index(c, i + 1)
                toks.append(("S", s[i + 1:j].encode("latin-1"))); i = j + 1
            elif c.isdigit():
                j = i
                while j < len(s) and (s[j].isdigit() or s[j] == "."):
                    j += 1
                toks.append(("N", float(s[i:j]))); i = j
            elif c.isalpha() or c == "_":
                j = i
                while j < len(s) and (s[j].isalnum() or s[j] == "_"):
                    j += 1
                toks.append(("I", s[i:j].upper())); i = j
            elif s[i:i + 2] in ("<=", ">=", "<>", "==", "!="):
                toks.append(s[i:i + 2]); i += 2
            elif c in "+-*/()<>=,#!$":
                toks.append(c); i += 1
            else:
                raise Unsupported(c)
        return toks

    def peek(self):
        return self.toks[self.pos] if self.pos < len(self.toks) else None

    def take(self):
        t = self.peek()
        self.pos += 1
        return t

    def parse(self):
        node = self.or_()
        if self.peek() is not None:
            raise Unsupported("trailing tokens")
        return node

    def or_(self):
        a = self.and_()
        while self.peek() == ".OR.":
            self.take(); b = self.and_(); a = ("or", a, b)
        return a

    def and_(self):
        a = self.not_()
        while self.peek() == ".AND.":
            self.take(); b = self.not_(); a = ("and", a, b)
        return a

    def not_(self):
        if self.peek() in (".NOT.", "!"):
            self.take(); return ("not", self.not_())
        return self.cmp()

    def cmp(self):
        a = self.sum()
        if self.peek() in ("=", "==", "<>", "#", "!=", "<", ">", "<=", ">=", "$"):
            op = self.take(); b = self.sum(); a = ("cmp", op, a, b)
        return a

    def sum(self):
        a = self.prod()
        while self.peek() in ("+", "-"):
            op = self.take(); b = self.prod(); a = (op, a, b)
        return a

    def prod(self):
        a = self.unary()
        while self.peek() in ("*", "/"):
            op = self.take(); b = self.unary(); a = (op, a, b)
        return a

    def unary(self):
        if self.peek() == "-":
            self.take(); return ("neg", self.unary())
        t = self.take()
        if t == "(":
            e = self.or_()
            if self.take() != ")":
                raise Unsupported(")")
            return e
        if isinstance(t, tuple) and t[0] in ("S", "N", "L"):
            return ("const", t[1])
        if isinstance(t, tuple) and t[0] == "I":
            if self.peek() == "(":
                self.take()
                if t[1] not in self.FUNCS:
                    raise Unsupported(t[1])
                args = []
                if self.peek() != ")":
                    args.append(self.or_())
                    while self.peek() == ",":
                        self.take(); args.append(self.or_())
                if self.take() != ")":
                    raise Unsupported(")")
                return ("call", t[1], args)
            if t[1] not in self.fields:
                raise Unsupported(t[1])
            return ("field", t[1])
        raise Unsupported(str(t))


def field_value(f, raw):
    t = f["type"]
    if t == "C":
        return raw
    if t in ("N", "F"):
        s = raw.strip()
        return float(s) if s else 0.0
    if t == "D":
        s = raw.decode("latin-1")
        try:
            return ("date", julian(int(s[:4]), int(s[4:6]), int(s[6:8])))
        except ValueError:
            return ("date", 0)
    if t == "L":
        return raw[:1] in (b"T", b"t", b"Y", b"y")
    if t == "I":
        return float(struct.unpack("<i", raw)[0])
    raise Unsupported("field type " + t)


def fmt_str(v, width=10, dec=0):
    s = "%.*f" % (dec, v)
    while len(s) > width and dec > 0:
        dec -= 1
        s = "%.*f" % (dec, v)
    return (s.rjust(width) if len(s) <= width else "*" * width).encode()


def evaluate(node, rec):
    kind = node[0]
    if kind == "const":
        return node[1]
    if kind == "field":
        return rec["fields"][node[1]]
    if kind == "not":
        return not evaluate(node[1], rec)
    if kind in ("and", "or"):
        a, b = evaluate(node[1], rec), evaluate(node[2], rec)
        return (a and b) if kind == "and" else (a or b)
    if kind == "neg":
        return -evaluate(node[1], rec)
    if kind in ("+", "-", "*", "/"):
        a, b = evaluate(node[1], rec), evaluate(node[2], rec)
        if isinstance(a, bytes):
            if kind == "+":
                return a + b
            return a.rstrip(b" ") + b + b" " * (len(a) - len(a.rstrip(b" ")))
        if isinstance(a, tuple):
            return ("date", a[1] + b if kind == "+" else a[1] - b)
        return {"+": a + b, "-": a - b, "*": a * b, "/": a / b if b else 0.0}[kind]
    if kind == "cmp":
        op, a, b = node[1], evaluate(node[2], rec), evaluate(node[3], rec)
        if isinstance(a, tuple):
            a, b = a[1], b[1]
        if op == "=" and isinstance(a, bytes):
            return a[:len(b)] == b
        if op == "==":
            return a.rstrip() == b.rstrip() if isinstance(a, bytes) else a == b
        if op == "$":
            return a in b
        return {"<>": a != b, "#": a != b, "!=": a != b, "<": a < b, ">": a > b, "<=": a <= b,
                ">=": a >= b, "=": a == b}[op]
    if kind == "call":
        name, args = node[1], [evaluate(a, rec) for a in node[2]]
        if name == "UPPER":
            return args[0].upper()
        if name == "LOWER":
            return args[0].lower()
        if name == "DTOS":
            j = args[0][1]
            if j <= 0:
                return b" " * 8
            return datetime.date.fromordinal(int(j) - 1721425).strftime("%Y%m%d").encode()
        if name == "STR":
            return fmt_str(args[0], int(args[1]) if len(args) > 1 else 10, int(args[2]) if len(args) > 2 else 0)
        if name == "SUBSTR":
            start = int(args[1]) - 1
            return args[0][start:start + int(args[2])] if len(args) > 2 else args[0][start:]
        if name == "LEFT":
            return args[0][:int(args[1])]
        if name == "RIGHT":
            return args[0][len(args[0]) - int(args[1]):] if int(args[1]) else b""
        if name in ("TRIM", "RTRIM"):
            return args[0].rstrip(b" ")
        if name == "LTRIM":
            return args[0].lstrip(b" ")
        if name == "ALLTRIM":
            return args[0].strip(b" ")
        if name == "DELETED":
            return rec["deleted"]
        if name == "RECNO":
            return float(rec["recno"])
        if name == "IIF":
            return args[1] if args[0] else args[2]
        if name == "VAL":
            try:
                return float(args[0].strip() or 0)
            except ValueError:
                return 0.0
    raise Unsupported(kind)


def read_dbf(path):
    d = open(path, "rb").read()
    count, hlen, rlen = le32(d, 4), le16(d, 8), le16(d, 10)
    fields, off, pos = {}, 1, 32
    while pos + 32 <= hlen and d[pos] != 0x0D:
        name = cstr(d[pos:pos + 11]).upper()
        fields[name] = {"type": chr(d[pos + 11]), "offset": off, "length": d[pos + 16]}
        off += d[pos + 16]
        pos += 32
    records = []
    for i in range(count):
        r = d[hlen + i * rlen:hlen + (i + 1) * rlen]
        values = {}
        for name, f in fields.items():
            try:
                values[name] = field_value(f, r[f["offset"]:f["offset"] + f["length"]])
            except Unsupported:
                pass
        records.append({"recno": i + 1, "deleted": r[:1] == b"*", "fields": values})
    return fields, records


def key_type(value):
    if isinstance(value, bytes):
        return "C"
    if isinstance(value, tuple):
        return "D"
    if isinstance(value, bool):
        return "L"
    return "N"


def main():
    args = sys.argv[1:]
    if not args:
        print(__doc__)
        return 2
    index_path = args[0]
    dbf = args[args.index("--dbf") + 1] if "--dbf" in args else None
    fields, records = read_dbf(dbf) if dbf else ({}, [])
    blank = {"recno": 1, "deleted": False, "fields": {}}
    for name, f in fields.items():
        try:
            raw = b"\0" * f["length"] if f["type"] == "I" else b" " * f["length"]
            blank["fields"][name] = field_value(f, raw)
        except Unsupported:
            pass

    compiled = {}

    def key_type_of(tag):
        try:
            key = Evaluator(tag["expr"], blank["fields"]).parse()
            flt = Evaluator(tag["for"], blank["fields"]).parse() if tag["for"] else None
            compiled[tag["name"]] = (key, flt)
            return key_type(evaluate(key, blank))
        except (Unsupported, ValueError, IndexError, KeyError, TypeError):
            # Unknown: a .cdx tag is then read as character keys, which is
            # wrong for numeric and date tags; give --dbf for those.
            return None

    data = open(index_path, "rb").read()
    reader = Mdx(data) if index_path.lower().endswith(".mdx") else Cdx(data)
    try:
        tags = reader.tags(key_type_of)
    except (ValueError, struct.error) as e:
        fault("unreadable: %s" % e)
        return 1

    for tag in tags:
        keys, values = tag["keys"], tag["values"]
        sign = -1 if tag["stored_descending"] else 1
        for i in range(1, len(keys)):
            a, b = values[i - 1], values[i]
            if (a > b if sign > 0 else a < b):
                fault("tag %s: key %d out of order" % (tag["name"], i + 1))
                break
            if a == b and keys[i - 1][1] >= keys[i][1]:
                fault("tag %s: equal keys not in record order at key %d" % (tag["name"], i + 1))
                break
        checked = "no"
        if dbf and tag["name"] in compiled:
            checked = "yes"
            key_node, flt = compiled[tag["name"]]
            expected = []
            seen = set()
            for rec in records:
                if flt is not None and not evaluate(flt, rec):
                    continue
                v = evaluate(key_node, rec)
                if isinstance(v, tuple):
                    v = float(v[1])
                elif isinstance(v, bytes):
                    v = v[:tag["keylen"]].ljust(tag["keylen"], b" ")
                elif tag["type"] == "N" and isinstance(reader, Mdx):
                    v = float("%.15g" % v) if v else 0.0
                if tag["unique"]:
                    if v in seen:
                        continue
                    seen.add(v)
                expected.append((v, rec["recno"]))
            got = sorted(zip(values, (r for _, r in keys)), key=lambda e: e[1])
            expected.sort(key=lambda e: e[1])
            if got != expected:
                missing = set(expected) - set(got)
                extra = set(got) - set(expected)
                fault("tag %s: %d keys missing or wrong, %d unexpected (first missing: %s)" % (
                    tag["name"], len(missing), len(extra), sorted(missing, key=lambda e: e[1])[:1]))
        print("tag %s keys=%d checked=%s" % (tag["name"], len(keys), checked))
    print("faults=%d" % len(faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
