"""What the Python interoperability scripts share: named checks that are counted, a tally at
the end, and the Content-MD5 text of a body."""
import base64
import hashlib
import sys

passed = 0
failed = []


def check(name, ok, detail=""):
    """Counts one check; a failing one is named on stderr with its detail."""
    global passed
    if ok:
        passed += 1
    else:
        failed.append(name)
        print(f"FAIL {name}: {detail}", file=sys.stderr)


def md5_text(data):
    """The Base64 text of the MD5 digest of data, as Content-MD5 carries it."""
    return base64.b64encode(hashlib.md5(data).digest()).decode()


def finish(title):
    """Prints the tally and ends the script: status 1 when any check failed."""
    print(f"{title}: {passed} passed, {len(failed)} failed")
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
    sys.exit(1 if failed else 0)
