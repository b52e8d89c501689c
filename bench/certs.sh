#!/usr/bin/env bash
# Makes a private CA and a server certificate for 127.0.0.1 (P-256 keys, as
# a deployment would use) in DIR: ca.pem, ca.key, server.pem, server.key.
#   bench/certs.sh DIR [CA-NAME]
set -euo pipefail
dir=$1
name=${2:-Bench CA}
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" -subj "/CN=$name" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$dir/server.key" -out "$dir/server.csr" -subj "/CN=127.0.0.1" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >"$dir/server.ext"
openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -CAserial "$dir/serial" -days 2 -extfile "$dir/server.ext" \
    -out "$dir/server.pem" 2>/dev/null
