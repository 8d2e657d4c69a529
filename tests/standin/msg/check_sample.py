#!/usr/bin/python3
"""Reads the sample message file with olefile, independently of the writer:
the streams and storages of the layout, the root class, and the property
stream's header and entries agree with what the writer put in."""
import struct
import sys
import uuid

import olefile

MAIL_MESSAGE = uuid.UUID("00020D0B-0000-0000-C000-000000000046")
TEST_SET = uuid.UUID("12345678-9ABC-DEF0-1020-304050607080")
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def entries(data, header):
    """The property stream's entries: tag -> (flags, 8 value bytes)."""
    return {struct.unpack_from("<I", data, at)[0]: (struct.unpack_from("<I", data, at + 4)[0], data[at + 8:at + 16])
            for at in range(header, len(data), 16)}


def main(path):
    ole = olefile.OleFileIO(path)
    names = {"/".join(e) for e in ole.listdir(streams=True, storages=True)}
    expected = [
        "__properties_version1.0",
        "__substg1.0_0037001F",
        "__substg1.0_1000001F",
        "__nameid_version1.0/__substg1.0_00020102",
        "__nameid_version1.0/__substg1.0_00030102",
        "__nameid_version1.0/__substg1.0_00040102",
        "__recip_version1.0_#00000000/__properties_version1.0",
        "__recip_version1.0_#00000002/__substg1.0_3001001F",
        "__attach_version1.0_#00000000/__substg1.0_37010102",
        "__attach_version1.0_#00000001/__substg1.0_3701000D/__properties_version1.0",
        "__attach_version1.0_#00000001/__substg1.0_3701000D/__attach_version1.0_#00000001/"
        "__substg1.0_3701000D/__substg1.0_0037001F",
        "__substg1.0_6829101E-00000002",
    ]
    for name in expected:
        check(name in names, "missing " + name)
    check("__recip_version1.0_#00000003" not in names, "a fourth recipient")

    check(ole.root.clsid and uuid.UUID(ole.root.clsid) == MAIL_MESSAGE,
          "root class is not CLSID_MailMessage: %r" % ole.root.clsid)

    props = ole.openstream("__properties_version1.0").read()
    check((len(props) - 32) % 16 == 0, "property stream length %d" % len(props))
    next_recip, next_attach, recips, attachments = struct.unpack_from("<IIII", props, 8)
    check((recips, attachments) == (3, 2), "counts %d recipients %d attachments" % (recips, attachments))
    check((next_recip, next_attach) == (3, 2), "next ids %d, %d" % (next_recip, next_attach))
    top = entries(props, 32)

    subject = ole.openstream("__substg1.0_0037001F").read()
    check(subject.decode("utf-16-le") == "Quarterly report \u00e9t\u00e9", "subject %r" % subject)
    size = struct.unpack_from("<I", top.get(0x0037001F, (0, b"\0" * 8))[1])[0]
    check(size == len(subject) + 2, "subject size %d for a stream of %d" % (size, len(subject)))
    check(struct.unpack("<I", top[0x0E070003][1][:4])[0] == 1, "message flags")
    check(struct.unpack("<Q", top[0x68070014][1])[0] == 0x0123456789ABCDEF, "PT_I8 value")
    check(top[0x6808000B][1][0] == 1 and top[0x6809000B][1][0] == 0, "booleans")
    check(struct.unpack("<h", top[0x68010002][1][:2])[0] == -12345, "PT_I2 value")
    binary = ole.openstream("__substg1.0_680F0102").read()
    check(len(binary) == 70000 and struct.unpack("<I", top[0x680F0102][1][:4])[0] == 70000, "binary of 70000")
    check(all(flags == 6 for flags, _ in top.values()), "entry flags")

    guids = ole.openstream("__nameid_version1.0/__substg1.0_00020102").read()
    check(uuid.UUID(bytes_le=guids[:16]) == TEST_SET, "first named-property GUID")
    named = ole.openstream("__nameid_version1.0/__substg1.0_00030102").read()
    check(len(named) == 16, "two named-property entries")
    number, kind0 = struct.unpack_from("<II", named, 0)
    offset, kind1 = struct.unpack_from("<II", named, 8)
    check(number == 0x8501 and kind0 == (0 << 16) | (3 << 1), "numeric name entry %x %x" % (number, kind0))
    check(kind1 == (1 << 16) | (2 << 1) | 1, "string name entry %x" % kind1)
    strings = ole.openstream("__nameid_version1.0/__substg1.0_00040102").read()
    length = struct.unpack_from("<I", strings, offset)[0]
    check(strings[offset + 4:offset + 4 + length].decode("utf-16-le") == "Keywords \u00e9", "string name")
    check(0x80000003 in top, "named property 0x8000 stored")

    recip = entries(ole.openstream("__recip_version1.0_#00000001/__properties_version1.0").read(), 8)
    check(struct.unpack("<I", recip[0x30000003][1][:4])[0] == 1, "recipient row id")
    attach = entries(ole.openstream("__attach_version1.0_#00000001/__properties_version1.0").read(), 8)
    check(struct.unpack("<I", attach[0x3701000D][1][:4])[0] == 0xFFFFFFFF, "embedded message entry size")
    embedded = ole.openstream("__attach_version1.0_#00000001/__substg1.0_3701000D/__properties_version1.0").read()
    check((len(embedded) - 24) % 16 == 0, "embedded message header of 24 bytes")

    print("\n".join(["olefile read %d elements" % len(names)] + ["FAIL: " + f for f in failures]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
