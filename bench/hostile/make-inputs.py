#!/usr/bin/env python3
"""Hostile inputs for mervo-cli, written into the directory given as the only
argument: what a broken controller or a damaged file on a laptop can hand the
tool. Each is named after what it is."""
import os
import sys
import tarfile
import io
import zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)

STATUS = (b'{\n  "model_name": "VESTRA-4",\n  "firmware_version": "1.3.0",\n'
          b'  "serial_number": "V4-HOSTILE",\n  "mac": "02:00:5e:10:00:99"\n}\n')


def header(name, size_field, body_size=None):
    """A ustar header record whose size field reads `size_field` (octal text)."""
    h = bytearray(512)
    h[0:len(name)] = name.encode()
    h[100:108] = b"0000644\0"
    h[108:116] = b"0000000\0"
    h[116:124] = b"0000000\0"
    h[124:136] = size_field.encode().ljust(11, b"0")[:11] + b"\0"
    h[136:148] = b"14750000000\0"
    h[148:156] = b" " * 8
    h[156] = ord("0")
    h[257:263] = b"ustar\0"
    h[263:265] = b"00"
    h[148:156] = b"%06o\0 " % sum(h)
    return bytes(h)


def member(name, data, size_field=None):
    field = size_field if size_field else "%011o" % len(data)
    padded = data + bytes(-len(data) % 512)
    return header(name, field) + padded


channel = bytes(11168)
# A channel archive whose channel file claims 4 GiB (does not fit 32 bits),
# and one whose file claims 4 GiB - 1 behind an intact status document.
with open(os.path.join(out, "dali1-claims-4GiB.tar"), "wb") as f:
    f.write(member("/etc/config/dali/dali1.bin", channel, "40000000000") + member("status.txt", STATUS) + bytes(1024))
with open(os.path.join(out, "dali1-status-first-claims-4GiB-1.tar"), "wb") as f:
    f.write(member("status.txt", STATUS) + member("/etc/config/dali/dali1.bin", channel, "37777777777") + bytes(1024))

# A status document of 100 MiB: the model first, then one long member.
with open(os.path.join(out, "status-100MiB.json"), "wb") as f:
    f.write(b'{"model_name":"VESTRA-4","firmware_version":"1.3.0","pad":"')
    block = b"x" * (1 << 20)
    for _ in range(100):
        f.write(block)
    f.write(b'"}')

# JSON nested 10,000 deep, as a status document and as an option argument.
with open(os.path.join(out, "status-deep.json"), "wb") as f:
    f.write(b'{"a":' * 10000 + b'"x"' + b"}" * 10000)
with open(os.path.join(out, "channels-deep.txt"), "wb") as f:
    f.write(b"[" * 10000 + b"1" + b"]" * 10000)

# A raw image one byte over 16 MiB.
with open(os.path.join(out, "image-16MiB+1.binary"), "wb") as f:
    f.write(os.urandom(16 * 1024 * 1024 + 1))

# A channel CSV file of one million device rows.
with open(os.path.join(out, "million-rows.csv"), "w") as f:
    f.write("#dali-channel-csv-version: 1\n")
    row = '{slot},{addr},12,Device {n},"[0,3]",254,null,1,254,7,4,"[254,200,null]"\n'
    for n in range(1000000):
        f.write(row.format(slot=n % 64, addr=n % 64, n=n))

# A channel workbook whose worksheet unpacks to 512 MiB of blanks.
main = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
rels = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
package = "http://schemas.openxmlformats.org/package/2006/relationships"
with zipfile.ZipFile(os.path.join(out, "workbook-512MiB.xlsx"), "w", zipfile.ZIP_DEFLATED) as book:
    book.writestr("_rels/.rels", '<Relationships xmlns="%s"><Relationship Id="rId1" Type="%s/officeDocument" '
                  'Target="xl/workbook.xml"/></Relationships>' % (package, rels))
    book.writestr("xl/workbook.xml", '<workbook %s xmlns:r="%s"><sheets><sheet name="dali2" sheetId="1" '
                  'r:id="rId1"/></sheets></workbook>' % (main, rels))
    book.writestr("xl/_rels/workbook.xml.rels", '<Relationships xmlns="%s"><Relationship Id="rId1" '
                  'Type="%s/worksheet" Target="worksheets/sheet1.xml"/></Relationships>' % (package, rels))
    with book.open("xl/worksheets/sheet1.xml", "w", force_zip64=True) as sheet:
        sheet.write(('<worksheet %s><sheetData>' % main).encode())
        for _ in range(512):
            sheet.write(b" " * (1 << 20))
        sheet.write(b"</sheetData></worksheet>")
