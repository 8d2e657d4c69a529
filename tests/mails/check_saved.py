#!/usr/bin/python3
"""Reads the mail the add-in saved with olefile, independently of the writer: the
root class, and the subject, body, recipients and attachment of the original."""
import sys
import uuid

import olefile

MAIL_MESSAGE = uuid.UUID("00020D0B-0000-0000-C000-000000000046")


def main(path):
    ole = olefile.OleFileIO(path)
    # The add-in opens its message session without MAPI_UNICODE: strings are 8-bit,
    # in the message's code page (1252 here), as MAPI writes them.
    text = lambda name: ole.openstream(name + "001E").read().decode("cp1252").rstrip("\0")
    checks = [
        (ole.root.clsid and uuid.UUID(ole.root.clsid) == MAIL_MESSAGE, "root class %r" % ole.root.clsid),
        (text("__substg1.0_0037") == "It's known", "subject"),
        (text("__substg1.0_1000") == "Hi <mailto:x@y.org> and <mailto:x@y.org>!\n", "body"),
        (sorted(text("__recip_version1.0_#%08X/__substg1.0_3001" % i) for i in range(4))
         == ["Bob O'Neil", "Cy", "D'Arcy", "Eve 'E'"], "recipients"),
        (not ole.exists("__recip_version1.0_#00000004"), "a fifth recipient"),
        (not ole.exists("__substg1.0_0037001F"), "a Unicode subject"),
        (ole.openstream("__attach_version1.0_#00000000/__substg1.0_37010102").read() == b"alpha", "attachment"),
    ]
    failures = [what for ok, what in checks if not ok]
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
