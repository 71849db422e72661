#!/bin/sh
# Makes the test certificates once: a CA and, issued by it to one person, a
# signing and an encryption certificate, all RSA-2048, as DER files here.
# The keys are thrown away; the tests only need the certificates.
set -eu
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/ext.cnf" <<'CNF'
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[sign]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = clientAuth, emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[enc]
basicConstraints = CA:false
keyUsage = critical, keyEncipherment, dataEncipherment
extendedKeyUsage = emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

person="/C=ES/O=Velmo Test/serialNumber=IDCES-12345678Z/CN=LUCIA FERRER SOTO"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -days 7300 \
    -subj "/C=ES/O=Velmo Test/CN=Velmo Test Root CA" \
    -extensions ca -config "$work/ext.cnf" -set_serial 1 -outform DER -out ca.der 2>/dev/null
openssl x509 -inform DER -in ca.der -out "$work/ca.pem"
for kind in sign enc; do
    cn="$person"
    [ "$kind" = sign ] && cn="$person (FIRMA)" || cn="$person (CIFRADO)"
    openssl req -new -newkey rsa:2048 -nodes -keyout "$work/$kind.key" -subj "$cn" \
        -out "$work/$kind.csr" 2>/dev/null
    openssl x509 -req -in "$work/$kind.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
        -set_serial "$( [ $kind = sign ] && echo 2 || echo 3 )" -days 7300 \
        -extfile "$work/ext.cnf" -extensions "$kind" -outform DER -out "$kind.der" 2>/dev/null
done
ls -l ca.der sign.der enc.der
