#!/usr/bin/env bash
# Makes a throw-away certificate authority and a server certificate signed by it for the
# sandbox's fake cloud:
#   OUTDIR/ca.pem, OUTDIR/ca.key          the CA (CA:TRUE, keyCertSign)
#   OUTDIR/server.pem, OUTDIR/server.key  the server (serverAuth) for the names below
# Point SSL_CERT_FILE (or curl --cacert) at OUTDIR/ca.pem to trust it.
# Does nothing when OUTDIR already holds a server certificate that verifies against the CA,
# is valid for at least another day and lists the same names.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out=$1

# Host names the fake cloud answers for: the token and entitlement services of both cloud
# environments, plus plain localhost.
dns_names=(localhost token.cloud.localhost core.cloud.localhost
           token.dev.cloud.localhost core.dev.cloud.localhost)
ip_names=(127.0.0.1)

san=""
for n in "${dns_names[@]}"; do san+="${san:+,}DNS:$n"; done
for n in "${ip_names[@]}"; do san+=",IP:$n"; done

is_current() {
    [[ -s $out/ca.pem && -s $out/ca.key && -s $out/server.pem && -s $out/server.key \
       && -s $out/san.txt ]] || return 1
    [[ $(cat "$out/san.txt") == "$san" ]] || return 1
    openssl verify -CAfile "$out/ca.pem" "$out/server.pem" >/dev/null 2>&1 || return 1
    openssl x509 -in "$out/server.pem" -noout -checkend 86400 >/dev/null 2>&1 || return 1
}

if is_current; then
    exit 0
fi

mkdir -p "$out"
work=$(mktemp -d "$out/.certs.XXXXXX")
trap 'rm -rf "$work"' EXIT

cat >"$work/ca.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = v3_ca
[dn]
CN = Vorpane Sandbox Test CA
O = Vorpane Sandbox
[v3_ca]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

cat >"$work/server.cnf" <<EOF
[req]
distinguished_name = dn
prompt = no
[dn]
CN = localhost
O = Vorpane Sandbox
[v3_server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $san
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF

openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -config "$work/ca.cnf" -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -sha256 \
    -config "$work/server.cnf" -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
openssl x509 -req -sha256 -days 825 -in "$work/server.csr" \
    -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial "0x$(openssl rand -hex 16)" \
    -extfile "$work/server.cnf" -extensions v3_server -out "$work/server.pem" 2>/dev/null

openssl verify -CAfile "$work/ca.pem" "$work/server.pem" >/dev/null
printf '%s\n' "$san" >"$work/san.txt"
chmod 600 "$work/ca.key" "$work/server.key"

# Keys first, certificates last: a half-finished run never looks current.
for f in ca.key server.key ca.pem san.txt server.pem; do
    mv -f "$work/$f" "$out/$f"
done
