#!/bin/bash
# The install test's certificates, made with the openssl command in OUT:
# - the update packages' hierarchy: root.pem (an "Apple Root CA", the anchor), an
#   intermediate with the installer-authority marker (chain.pem) and a leaf with the
#   installer marker and the product's team as its unit (leaf.pem, leaf.key);
# - the HTTPS server's: https-ca.crt and a certificate for HOST (https.crt, https.key).
#   make-pki.sh OUT HOST
set -euo pipefail
out=${1:?usage: make-pki.sh OUT HOST}
host=${2:?usage: make-pki.sh OUT HOST}
team=K7QX2ZM4VB
mkdir -p "$out"
cd "$out"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1" 2>/dev/null; }

cat >ext.cnf <<CNF
[intermediate]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
1.2.840.113635.100.6.2.6 = ASN1:NULL
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
1.2.840.113635.100.6.1.14 = ASN1:NULL
[server]
subjectAltName = DNS:$host
CNF

key root.key
openssl req -x509 -new -key root.key -subj "/CN=Apple Root CA" -days 3 \
    -addext keyUsage=critical,keyCertSign,cRLSign -out root.pem
key intermediate.key
openssl req -new -key intermediate.key -subj "/CN=Keelbrook Test Installer Authority" -out intermediate.csr
openssl x509 -req -in intermediate.csr -CA root.pem -CAkey root.key -CAcreateserial -days 3 \
    -extfile ext.cnf -extensions intermediate -out chain.pem 2>/dev/null
key leaf.key
openssl req -new -key leaf.key -subj "/CN=Keelbrook Test Installer/OU=$team" -out leaf.csr
openssl x509 -req -in leaf.csr -CA chain.pem -CAkey intermediate.key -CAcreateserial -days 3 \
    -extfile ext.cnf -extensions leaf -out leaf.pem 2>/dev/null

key https-ca.key
openssl req -x509 -new -key https-ca.key -subj "/CN=Keelbrook install test CA" -days 3 -out https-ca.crt
key https.key
openssl req -new -key https.key -subj "/CN=$host" -out https.csr
openssl x509 -req -in https.csr -CA https-ca.crt -CAkey https-ca.key -CAcreateserial -days 3 \
    -extfile ext.cnf -extensions server -out https.crt 2>/dev/null
