# Checks the guest test's console log: lunscan's answers for every emulated disk against the QEMU parameters and against sg3-utils.
"""Usage: check.py CONSOLE_LOG. Exits non-zero, naming the disk and the field, on any disagreement.

The log holds sections "@@@ BEGIN <name>" ... "@@@ END <name> rc=<n>" written by init-test.sh.
Expected values come from disks.py (the QEMU parameters) and from sg3-utils' own answers; lunscan's
tables are read by their fixed layouts.
"""
import re
import sys

import disks

problems = []


def fail(msg):
    problems.append(msg)


# --- The log ----------------------------------------------------------------------------------

def read_sections(path):
    sections, name, lines = {}, None, []
    done = False
    with open(path, encoding="latin-1") as f:
        for raw in f:
            line = raw.rstrip("\r\n").replace("\r", "")
            # The console's first line may start with the firmware's terminal codes.
            m = re.search(r"@@@ BEGIN (.+)$", line)
            if m:
                name, lines = m.group(1), []
                continue
            m = re.search(r"@@@ END (.+) rc=(\d+)$", line)
            if m and name == m.group(1):
                sections[name] = (lines, int(m.group(2)))
                name = None
                continue
            if line == "@@@ DONE":
                done = True
            elif name is not None:
                lines.append(line)
    return sections, done


def section(sections, name):
    if name not in sections:
        fail(f"the guest printed no section '{name}'")
        return [], -1
    return sections[name]


# --- sg3-utils' answers -----------------------------------------------------------------------

def hex_bytes(lines):
    """The bytes of a -HHH dump: hex pairs only (an offset column, if any, is 2+ hex digits
    followed by more than one blank and is dropped)."""
    out = bytearray()
    for line in lines:
        line = line.strip()
        if not line:
            continue
        words = line.split()
        if not all(re.fullmatch(r"[0-9a-fA-F]{2}", w) for w in words):
            continue
        out += bytes(int(w, 16) for w in words)
    return bytes(out)


def sg_inq_fields(lines):
    fields = {}
    for line in lines:
        m = re.match(r"^\s*(Vendor identification|Product identification|Product revision level|"
                     r"Unit serial number):\s?(.*)$", line)
        if m:
            fields[m.group(1)] = m.group(2)
    return fields


def sg_readcap_fields(lines):
    text = "\n".join(lines)
    blocks = re.search(r"Number of logical blocks=(\d+)", text)
    length = re.search(r"Logical block length=(\d+)", text)
    return (int(blocks.group(1)) if blocks else None, int(length.group(1)) if length else None)


def sg_vpd_naa(lines):
    """The 8-byte NAA designator sg_vpd -p di shows as 0x... under "designator type: NAA"."""
    in_naa = False
    for line in lines:
        if "designator type:" in line:
            in_naa = "designator type: NAA" in line
            continue
        m = re.match(r"^\s*0x([0-9a-fA-F]{16})\s*$", line)
        if in_naa and m:
            return int(m.group(1), 16)
    return None


def sg_vpd_serial(lines):
    for line in lines:
        m = re.match(r"^\s*Unit serial number:\s?(.*)$", line)
        if m:
            return m.group(1)
    return None


# --- lunscan's tables -------------------------------------------------------------------------

def table_rows(lines, heading_start):
    """The rows under a table's heading: the heading is framed by two dash lines."""
    for i, line in enumerate(lines):
        if line.startswith(heading_start) and i + 1 < len(lines) and set(lines[i + 1]) == {"-"}:
            return [r for r in lines[i + 2:] if r.strip()], line
    return None, None


def fixed_rows(lines, which, cells):
    """name -> cells of a table whose name column is as wide as its heading's "DEVICE" cell and
    whose other cells have fixed widths (None: the rest of the line), separated by colons."""
    rows, heading = table_rows(lines, "DEVICE")
    if rows is None:
        return None
    width = heading.index(":")
    pattern = "^(.{%d})" % width + "".join(":(.{%d})" % w if w else ":(.*)" for _, w in cells) + "$"
    out = {}
    for row in rows:
        m = re.match(pattern, row)
        if not m:
            fail(f"{which}: row not in its layout: {row!r}")
            continue
        out[m.group(1).rstrip()] = {name: m.group(i + 2) for i, (name, _) in enumerate(cells)}
    return out


def default_rows(lines, which="lunscan"):
    # "%s:%-8s:%-16s:%-6s:%-11s:%12s"
    return fixed_rows(lines, which, [("vendor", 8), ("product", 16), ("revision", 6), ("serial", 11),
                                     ("capacity", 12)])


def all_rows(lines):
    """name -> cells of the -all table, split at its separators."""
    rows, _ = table_rows(lines, "DEVICE             :SERIAL #")
    if rows is None:
        return None
    names = ["name", "serial", "vendor", "product", "model", "revision", "bcv", "r", "ckd", "sm",
             "capacity", "blksz", "fcul", "protection", "korvserial"]
    out = {}
    for row in rows:
        cells = row.split(":")
        if len(cells) != len(names) or len(cells[0]) < 19:
            fail(f"lunscan -all: row not in its layout: {row!r}")
            continue
        out[cells[0].rstrip()] = dict(zip(names, cells))
    return out


def wwn_rows(lines):
    # "%s:%-8s:%-16s:%s"
    return fixed_rows(lines, "lunscan -wwn", [("vendor", 8), ("product", 16), ("wwn", None)])


def parent_rows(lines):
    rows, _ = table_rows(lines, "DEVICE                    :     MP State")
    if rows is None:
        return None
    out = {}
    for row in rows:
        cells = [c.strip() for c in row.split(":")]
        if len(cells) != 7:
            fail(f"lunscan -parent: row not in its layout: {row!r}")
            continue
        out[cells[0]] = dict(mp_state=cells[1], mp_relation=cells[2], native_state=cells[3])
    return out


def page83_raw(lines):
    for line in lines:
        if line.startswith("  RAW: "):
            return bytes(int(w, 16) for w in line[len("  RAW: "):].split())
    return None


def page83_decode(lines):
    """The NAA, company id and VSID lines of -page 83, as printed."""
    got = {}
    for line in lines:
        m = re.match(r"^   (NAA|IEEE Company ID|VSID) +=\s?(.*)$", line)
        if m:
            got[m.group(1)] = m.group(2)
    return got


def page83_identifier(page):
    """The identifier lunscan's -page 83 decodes: with page length 20 or 28 (a descriptor header)
    the one at byte 8 with the length of byte 7, otherwise the bytes from 4 to the page's end;
    either cut at the page's end."""
    end = page[3] + 4
    if page[3] in (20, 28):
        return page[8:min(8 + page[7], end)]
    return page[4:end]


def page83_expected(page):
    ident = page83_identifier(page)
    head = int.from_bytes((ident[:4] + bytes(4))[:4], "big")
    return {"NAA": f"{head >> 28:1x}", "IEEE Company ID": f"{(head >> 4) & 0xFFFFFF:06x}", "VSID": ident.hex()}


# --- The checks -------------------------------------------------------------------------------

def map_devices(sections):
    """sd name of each disk, and the CD-ROM's sr names, from the drivers and SCSI addresses."""
    lines, _ = section(sections, "devmap")
    by_addr, cds = {}, []
    for line in lines:
        parts = line.split()
        if len(parts) != 3:
            continue
        name, addr, driver = parts
        h, c, t, l = (int(x) for x in addr.split(":"))
        by_addr[(driver, c, t, l)] = name
        if name.startswith("sr"):
            cds.append(name)
    names = {}
    for d in disks.DISKS:
        key = (disks.CONTROLLERS[d.bus][1], 0, d.target, d.lun)
        if key not in by_addr:
            fail(f"disk {d.key}: the guest has no block device at {key}")
        else:
            names[d.key] = by_addr[key]
    if not cds:
        fail("CD-ROM: the guest has no sr device")
    return names, cds


def same(disk, field, lunscan, qemu, sg3):
    """lunscan's value must be both QEMU's and sg3-utils'."""
    if lunscan != qemu or lunscan != sg3:
        fail(f"disk {disk}: {field}: lunscan {lunscan!r}, QEMU parameters {qemu!r}, sg3-utils {sg3!r}")


def check_sg3(d, dev, sections):
    """sg3-utils against the QEMU parameters; returns sg3-utils' answers for the lunscan checks."""
    tag = f"{d.key} ({dev})"
    inq = sg_inq_fields(section(sections, f"sg_inq {dev}")[0])
    raw, _ = section(sections, f"sg_inq-hex {dev}")
    raw = hex_bytes(raw)
    if len(raw) < 44:
        fail(f"disk {tag}: sg_inq -HHH gave {len(raw)} bytes of standard INQUIRY data")
        raw = raw + bytes(44)
    sg3 = dict(vendor=raw[8:16].decode("latin-1"), product=raw[16:32].decode("latin-1"),
               revision=raw[32:36].split(b"\0")[0].decode("latin-1"),
               serial=raw[36:44].split(b"\0")[0].decode("latin-1"))
    for field, qemu in (("vendor", d.inquiry_vendor()), ("product", d.inquiry_product()),
                        ("revision", d.inquiry_revision()), ("INQUIRY serial field", d.inquiry_serial_field())):
        got = sg3["serial" if field.startswith("INQUIRY") else field]
        if got != qemu:
            fail(f"disk {tag}: sg_inq {field} {got!r}, QEMU parameters {qemu!r}")
    for label, qemu in (("Vendor identification", d.vendor), ("Product identification", d.product),
                        ("Product revision level", d.ver), ("Unit serial number", d.unit_serial())):
        # sg_inq shows the fields as the device padded them.
        if (inq.get(label) or "").rstrip() != qemu:
            fail(f"disk {tag}: sg_inq '{label}' {inq.get(label)!r}, QEMU parameters {qemu!r}")
    blocks, length = sg_readcap_fields(section(sections, f"sg_readcap {dev}")[0])
    if (blocks, length) != (d.blocks(), d.block):
        fail(f"disk {tag}: sg_readcap {blocks} blocks of {length} bytes, QEMU parameters {d.blocks()} of {d.block}")
    sg3["capacity_kb"] = blocks * length >> 10 if blocks and length else None
    sg3["block"] = length
    page = hex_bytes(section(sections, f"sg_vpd-di-hex {dev}")[0])
    if page != d.page83():
        fail(f"disk {tag}: sg_vpd page 0x83 {page.hex()}, QEMU parameters {d.page83().hex()}")
    sg3["page83"] = page
    naa = sg_vpd_naa(section(sections, f"sg_vpd-di {dev}")[0])
    if naa != d.wwn:
        fail(f"disk {tag}: sg_vpd NAA designator {naa and hex(naa)}, QEMU wwn {hex(d.wwn)}")
    sn = sg_vpd_serial(section(sections, f"sg_vpd-sn {dev}")[0])
    if sn != d.unit_serial():
        fail(f"disk {tag}: sg_vpd unit serial {sn!r}, QEMU serial {d.unit_serial()!r}")
    return sg3


def check_row(tag, table, rows, path, cells):
    """cells: (label, cell key, QEMU's value, sg3-utils' value) of one row of a lunscan table."""
    row = rows.get(path) if rows is not None else None
    if row is None:
        fail(f"disk {tag}: not in {table}")
        return
    for label, key, qemu, sg3 in cells:
        same(tag, f"{table} {label}", row[key], qemu, sg3)


def check_lunscan(d, dev, sg3, default, full, wwn, sections):
    tag = f"{d.key} ({dev})"
    path = f"/dev/{dev}"
    q = dict(vendor=d.inquiry_vendor(), product=d.inquiry_product(), revision=d.inquiry_revision(),
             serial=d.inquiry_serial_field(), kb=d.capacity_kb(), block=d.block,
             wwn=d.wwn_cell())
    g = dict(vendor=sg3["vendor"], product=sg3["product"], revision=sg3["revision"], serial=sg3["serial"],
             kb=sg3["capacity_kb"], block=sg3["block"],
             wwn=disks.wwn_cell(d.is_korvalith(), sg3["page83"]))
    # The cells as each table formats them, from either source.
    default_cells = lambda v: [("vendor", "vendor", v["vendor"]), ("product", "product", v["product"]),
                               ("revision", "revision", v["revision"].ljust(6)),
                               ("serial", "serial", v["serial"].ljust(11)),
                               ("capacity (KB)", "capacity", f"{v['kb']:>12}")]
    all_cells = lambda v: [("vendor", "vendor", v["vendor"]), ("product", "product", v["product"][:9].ljust(10)),
                           ("revision", "revision", v["revision"].ljust(5)),
                           ("serial", "serial", v["serial"].ljust(9)),
                           ("capacity (KB)", "capacity", f"{v['kb']:8d}".ljust(10)),
                           ("block size", "blksz", f"{v['block']:5d}")]
    wwn_cells = lambda v: [("vendor", "vendor", v["vendor"]), ("product", "product", v["product"]),
                           ("WWN", "wwn", v["wwn"])]
    for table, rows, cells in (("lunscan", default, default_cells), ("lunscan -all", full, all_cells),
                               ("lunscan -wwn", wwn, wwn_cells)):
        check_row(tag, table, rows, path,
                  [(label, key, qv, gv) for (label, key, qv), (_, _, gv) in zip(cells(q), cells(g))])
    out, rc = section(sections, f"page83 {dev}.out")
    raw = page83_raw(out)
    if raw is None:
        fail(f"disk {tag}: lunscan -page 83 printed no RAW line (status {rc})")
    else:
        same(tag, "lunscan -page 83 RAW", raw.hex(), d.page83().hex(), sg3["page83"].hex())
        naa = d.page83().find(bytes([0x01, 0x03, 0x00, 0x08]))
        got_naa = raw.find(bytes([0x01, 0x03, 0x00, 0x08]))
        same(tag, "lunscan -page 83 NAA designator",
             raw[got_naa + 4:got_naa + 12].hex() if got_naa >= 0 else None,
             f"{d.wwn:016x}", sg3["page83"][naa + 4:naa + 12].hex())
        got = page83_decode(out)
        want, sg3_want = page83_expected(d.page83()), page83_expected(sg3["page83"])
        for line in ("NAA", "IEEE Company ID", "VSID"):
            same(tag, f"lunscan -page 83 {line}", got.get(line), want[line], sg3_want[line])


def check_no_shm(sections):
    out, rc = section(sections, "noshm.out")
    err, _ = section(sections, "noshm.err")
    if rc == 0:
        fail("lunscan without /dev/shm: exit status 0, expected a failure")
    named = [i for i, line in enumerate(err) if "/dev/shm" in line]
    if len(named) != 1:
        fail(f"lunscan without /dev/shm: {len(named)} lines of standard error name /dev/shm, expected 1: {err!r}")
        return
    failed_err = [i for i, line in enumerate(err) if "Initialization of SIL failed" in line]
    failed_out = [line for line in out if "Initialization of SIL failed" in line]
    if failed_err:
        if failed_err[0] < named[0]:
            fail("lunscan without /dev/shm: 'Initialization of SIL failed' comes before the /dev/shm line")
    elif not failed_out:
        fail("lunscan without /dev/shm: no 'Initialization of SIL failed'")
    if any(line.strip() for line in err[:named[0]]):
        fail(f"lunscan without /dev/shm: standard error has text before the /dev/shm line: {err!r}")


def check_mpath(names, sections):
    name = f"/dev/mapper/{disks.MPATH_NAME}"
    lines, rc = section(sections, "mpath-create")
    if rc != 0:
        fail(f"multipath: dmsetup could not make the map: {lines!r}")
        return
    paths = {f"/dev/{names[k]}" for k in disks.MPATH_PATHS if k in names}
    d = next(x for x in disks.DISKS if x.key == disks.MPATH_PATHS[0])
    rows = default_rows(section(sections, "mpath-lunscan.out")[0], "multipath: lunscan") or {}
    row = rows.get(name)
    if row is None:
        fail(f"multipath: {name} not in lunscan's default table")
    else:
        for field, want in (("vendor", d.inquiry_vendor()), ("product", d.inquiry_product()),
                            ("capacity", f"{d.capacity_kb():>12}")):
            if row[field] != want:
                fail(f"multipath: {name} {field}: lunscan {row[field]!r}, QEMU parameters {want!r}")
    listed = set((default_rows(section(sections, "mpath-strandway.out")[0], "lunscan -f_strandway") or {}).keys())
    if listed != {name}:
        fail(f"multipath: lunscan -f_strandway lists {sorted(listed)}, expected only {name}")
    rel = parent_rows(section(sections, "mpath-parent.out")[0]) or {}
    if rel.get(name, {}).get("mp_state") != "SIL_DEV_PARENT":
        fail(f"multipath: lunscan -parent: {name} MP State {rel.get(name, {}).get('mp_state')!r}, "
             "expected SIL_DEV_PARENT")
    for p in sorted(paths):
        got = rel.get(p, {})
        if (got.get("mp_state"), got.get("mp_relation")) != ("SIL_DEV_CHILD", name):
            fail(f"multipath: lunscan -parent: path {p} MP State {got.get('mp_state')!r} relation "
                 f"{got.get('mp_relation')!r}, expected SIL_DEV_CHILD of {name}")


def main():
    sections, done = read_sections(sys.argv[1])
    if not done:
        fail("the guest did not finish its run (no @@@ DONE)")
    names, cds = map_devices(sections)
    check_no_shm(sections)

    outputs = {}
    for which in ("lunscan", "lunscan-all", "lunscan-wwn"):
        lines, rc = section(sections, f"{which}.out")
        if rc != 0:
            fail(f"{which.replace('-', ' -')}: exit status {rc}; standard error: "
                 f"{section(sections, which + '.err')[0]!r}")
        outputs[which] = lines
    default = default_rows(outputs["lunscan"])
    full = all_rows(outputs["lunscan-all"])
    wwn = wwn_rows(outputs["lunscan-wwn"])
    for parsed, which in ((default, "lunscan"), (full, "lunscan -all"), (wwn, "lunscan -wwn")):
        if parsed is None:
            fail(f"{which}: no table heading in its output")

    for d in disks.DISKS:
        if d.key not in names:
            continue
        sg3 = check_sg3(d, names[d.key], sections)
        check_lunscan(d, names[d.key], sg3, default, full, wwn, sections)

    # lunscan lists disks only, as the Windows disk class does: no CD-ROM, nothing unknown.
    want = {f"/dev/{n}" for n in names.values()}
    for parsed, which in ((default, "lunscan"), (full, "lunscan -all"), (wwn, "lunscan -wwn")):
        if parsed is None:
            continue
        for cd in cds:
            if f"/dev/{cd}" in parsed:
                fail(f"{which}: lists the CD-ROM /dev/{cd}")
        extra = sorted(set(parsed) - want)
        if extra:
            fail(f"{which}: lists devices that are no emulated disk: {extra}")

    check_mpath(names, sections)

    if problems:
        print(f"linux-guest: {len(problems)} problem(s):", file=sys.stderr)
        for p in problems:
            print(f"  {p}", file=sys.stderr)
        sys.exit(1)
    print(f"linux-guest: {len(names)} disks agree with QEMU and sg3-utils; CD-ROM not listed; "
          "multipath map listed as the pseudo device of its two paths")


if __name__ == "__main__":
    main()
