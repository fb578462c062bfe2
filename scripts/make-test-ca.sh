#!/usr/bin/env bash
# Makes a throw-away certificate authority and a server certificate for the
# loopback configuration service of a sandbox:
#   <dir>/ca.crt, <dir>/ca.key         the CA (trust ca.crt in the sandbox)
#   <dir>/server.crt, <dir>/server.key the service's certificate, for
#                                      127.0.0.1, ::1 and localhost
# Usage: scripts/make-test-ca.sh DIR [DAYS]
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 DIR [DAYS]" >&2
  exit 2
fi
dir=$1
days=${2:-30}
mkdir -p "$dir"
cd "$dir"
umask 077
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout ca.key -out ca.crt -days "$days" -subj "/CN=Quarrion sandbox test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null
cat > server.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost
EXT
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial \
  -out server.crt -days "$days" -extfile server.ext 2>/dev/null
rm -f server.csr server.ext ca.srl
chmod 644 ca.crt server.crt
