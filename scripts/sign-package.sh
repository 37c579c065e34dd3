#!/usr/bin/env bash
# Signs a file for the updater and prints the signature as the appcast's
# "signature" field wants it:
#   scripts/sign-package.sh <private key PEM> <file>
# ECDSA on P-256 over the SHA-256 digest of the whole file (openssl), as
# the 64 bytes r || s in lower-case hex. openssl writes the DER form, a
# SEQUENCE of two INTEGERs; CNG wants the two numbers as fixed 32-byte
# fields. Make a key pair with
#   openssl ecparam -name prime256v1 -genkey -noout -out key.pem
#   openssl ec -in key.pem -pubout -out pub.pem
set -euo pipefail
key=${1:?usage: sign-package.sh <private key PEM> <file>}
file=${2:?usage: sign-package.sh <private key PEM> <file>}
openssl dgst -sha256 -sign "$key" "$file" | python3 -c '
import sys
der = sys.stdin.buffer.read()
def item(data, at):
    tag, length = data[at], data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    return tag, data[at:at + length], at + length
tag, body, _ = item(der, 0)
if tag != 0x30:
    sys.exit("sign-package: openssl wrote no ECDSA signature")
_, r, at = item(body, 0)
_, s, _ = item(body, at)
print((int.from_bytes(r, "big").to_bytes(32, "big") + int.from_bytes(s, "big").to_bytes(32, "big")).hex())
'
