#!/bin/sh
# ctest fixture, run natively: a throwaway CA, a certificate for the name
# localhost signed by it, a payload and its .gz, and the HTTPS server of
# tls_server.py in the background. Usage: tls_setup.sh DIR
set -eu
dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
# A server left over from an interrupted run; the pid is checked to still be ours.
if [ -f "$dir/pid" ] && grep -qa tls_server.py "/proc/$(cat "$dir/pid")/cmdline" 2>/dev/null; then
  kill "$(cat "$dir/pid")" 2>/dev/null || true
fi
rm -rf "$dir"
mkdir -p "$dir/www"
cd "$dir"

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -keyout ca.key -out ca.pem \
  -subj "/CN=Veltrune Throwaway Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der
openssl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null
printf '%s\n' "subjectAltName=DNS:localhost" "basicConstraints=CA:FALSE" \
  "keyUsage=digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" > server.ext
openssl x509 -req -sha256 -days 30 -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
  -extfile server.ext -out server.pem 2>/dev/null

{ head -c 1500000 /dev/urandom; seq 1 300000; } > payload.bin
gzip -9 -c payload.bin > www/payload.bin.gz
printf 'false' > www/maintenance.txt

# Detached from ctest's pipes, or ctest would wait for the server to end.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3  # Debian's, with its ssl module
setsid "$python" "$here/tls_server.py" "$dir" >server.log 2>&1 </dev/null &
echo $! > pid
i=0
while [ ! -f port ]; do
  i=$((i + 1))
  if [ $i -gt 100 ]; then echo "tls server did not start"; cat server.log; exit 1; fi
  sleep 0.1
done
echo "tls server on port $(cat port)"
