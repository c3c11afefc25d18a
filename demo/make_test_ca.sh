#!/usr/bin/env bash
# Makes the certificates of the test content server in OUT_DIR, with the openssl command line:
#   ca.pem, ca-key.pem              the test CA (the one the tests trust)
#   server.pem, server-key.pem      signed by the test CA for localhost, 127.0.0.1 and HOST...
#   unknown-ca.pem                  a second CA that nobody trusts
#   untrusted.pem, untrusted-key.pem   signed by that CA for the same names
#   wrong-host.pem, wrong-host-key.pem signed by the test CA for wrong-host.invalid only
#   bundle.pem                      a CA bundle holding only the test CA
# Usage: make_test_ca.sh OUT_DIR [HOST...]
set -euo pipefail

out=${1:?usage: make_test_ca.sh OUT_DIR [HOST...]}
shift
mkdir -p "$out"
cd "$out"

days=30
subj=/O=Emberdale-Test

make_ca() {  # name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 -days "$days" -keyout "$1-key.pem" \
    -out "$1.pem" -subj "$subj/CN=$1" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>/dev/null
}

make_leaf() {  # name ca san
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" \
    >"$1.ext"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -sha256 -keyout "$1-key.pem" -out "$1.csr" \
    -subj "$subj/CN=$1" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2-key.pem" -CAcreateserial \
    -days "$days" -sha256 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr" "$1.ext"
}

san="DNS:localhost,IP:127.0.0.1"
for host in "$@"; do
  san="$san,DNS:$host"
done

make_ca ca
make_ca unknown-ca
make_leaf server ca "$san"
make_leaf untrusted unknown-ca "$san"
make_leaf wrong-host ca "DNS:wrong-host.invalid"
cp ca.pem bundle.pem
