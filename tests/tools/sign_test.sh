#!/usr/bin/env bash
# Signing by mkupdate build, with a certificate authority and a publisher certificate made here:
# a program signed with the certificate and its key, and one signed with a PKCS#12 file, must
# pass osslsigncode verify against that authority and be reported by mkupdate verify as signed
# over the whole file; a signed stub's signature is dropped, with the same bytes as from the
# unsigned stub; bytes after a signature are found; misuse is refused before anything is built.
# The signed programs stay in OUT for the Wine test that runs them (signed-cert.exe and
# signed-pkcs12.exe).
# Usage: sign_test.sh MKUPDATE STUB OUT PATCHDIR [BUILD OPTION...]
set -euo pipefail
mkupdate=$1 stub=$2 out=$3 patch=$4
shift 4
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

rm -rf "$out"
mkdir -p "$out"
cd "$out"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout publisher.key -out publisher.csr \
  -subj "/CN=Test Publisher" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n' >publisher.ext
openssl x509 -req -in publisher.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile publisher.ext -out publisher.pem 2>/dev/null
echo 'pass phrase' >password.txt
echo 'wrong' >wrong.txt
openssl pkcs12 -export -inkey publisher.key -in publisher.pem -out publisher.p12 \
  -passout file:password.txt

build() { "$mkupdate" build "$patch" "$@" 2>err.txt; }

# Both ways of signing.
for way in "cert --sign publisher.pem --key publisher.key" \
  "pkcs12 --pkcs12 publisher.p12 --password-file password.txt"; do
  name=${way%% *}
  # shellcheck disable=SC2086
  build "${@}" --stub "$stub" -o "signed-$name.exe" ${way#* } || fail "$name: build: $(cat err.txt)"
  osslsigncode verify -CAfile ca.pem -in "signed-$name.exe" >verify.txt 2>&1 ||
    fail "$name: osslsigncode verify: $(cat verify.txt)"
  "$mkupdate" verify "signed-$name.exe" >verify.txt 2>&1 || fail "$name: mkupdate verify fails"
  grep -q '^signature: signed; .* ends the file, so the signature covers the whole file$' \
    verify.txt || fail "$name: mkupdate verify says: $(cat verify.txt)"
done

# Volumes lie outside the signed file: verify says their size and SHA-256 in the signed record
# cover them, and a damaged one still fails verify.
if [ -n "${LARGE_STUB:-}" ]; then
  mkdir -p volumes
  cp -r "$patch" large-patch
  head -c 400000 /dev/urandom >large-patch/NOISE.DAT
  "$mkupdate" build large-patch "$@" --stub "$LARGE_STUB" -o volumes/UPDATE.exe \
    --volume-limit 256K --sign publisher.pem --key publisher.key 2>err.txt ||
    fail "volumes: build: $(cat err.txt)"
  [ -e volumes/UPDATE.001 ] || fail "volumes: none written"
  "$mkupdate" verify volumes/UPDATE.exe >verify.txt 2>&1 || fail "volumes: $(cat verify.txt)"
  grep -q '^signature: signed; .* the [0-9]* volumes\? beside it \(is\|are\) not inside the signed file, but covered by their size and SHA-256 in the signed integrity record$' \
    verify.txt || fail "volumes: mkupdate verify says: $(cat verify.txt)"
  printf 'x' >>volumes/UPDATE.001
  if "$mkupdate" verify volumes/UPDATE.exe >verify.txt 2>&1 ||
    ! grep -q 'volume UPDATE.001 is longer than its record says' verify.txt; then
    fail "volumes: a damaged volume passes: $(cat verify.txt)"
  fi
fi

# A signed stub: its signature goes, and the result is what the unsigned stub gives.
build "$@" --stub "$stub" -o unsigned.exe || fail "unsigned build: $(cat err.txt)"
build "$@" --stub signed-cert.exe -o from-signed.exe || fail "signed stub: $(cat err.txt)"
grep -q "the stub signed-cert.exe was signed: .* so it is dropped" err.txt ||
  fail "the dropped signature is not told: $(cat err.txt)"
cmp -s unsigned.exe from-signed.exe || fail "the signed stub gives other bytes"
"$mkupdate" verify from-signed.exe >verify.txt 2>&1 || fail "from-signed.exe: $(cat verify.txt)"
grep -q '^signature: none' verify.txt || fail "not reported unsigned: $(cat verify.txt)"

# Bytes after the signature: reported, and such a stub is refused.
cp signed-cert.exe appended.exe
printf 'more' >>appended.exe
if "$mkupdate" verify appended.exe >verify.txt 2>&1 ||
  ! grep -q '4 bytes follow the certificate table .*: the signature does not cover them' \
    verify.txt; then
  fail "bytes after the signature: $(cat verify.txt)"
fi
build "$@" --stub appended.exe -o refused.exe && fail "a stub with bytes after its signature"

# Misuse, refused before anything is built.
while IFS='|' read -r args message; do
  # shellcheck disable=SC2086
  if build "$@" --stub "$stub" -o refused.exe $args || ! grep -qF "$message" err.txt; then
    fail "$args: $(cat err.txt)"
  fi
done <<'EOF'
--sign publisher.pem|give --sign CERT with --key KEY, or --pkcs12 FILE
--key publisher.key|give --sign CERT with --key KEY, or --pkcs12 FILE
--pkcs12 publisher.p12 --sign publisher.pem|give it without --sign and --key
--sign publisher.pem --key missing.key|cannot open missing.key
--pkcs12 publisher.p12 --password-file wrong.txt|osslsigncode failed (exit status
EOF
if PATH=/nonexistent build "$@" --stub "$stub" -o refused.exe --pkcs12 publisher.p12 ||
  ! grep -qF -- "--pkcs12: osslsigncode is not installed" err.txt; then
  fail "without osslsigncode: $(cat err.txt)"
fi
# The signer is looked up in PATH's absolute folders only: an empty entry never runs one from
# the current folder.
mkdir -p cwd
printf '#!/bin/sh\ntouch ran\n' >cwd/osslsigncode
chmod +x cwd/osslsigncode
if (cd cwd && PATH=":" "$mkupdate" build "$patch" "$@" --stub "$stub" -o ../refused.exe \
  --pkcs12 ../publisher.p12 --password-file ../password.txt 2>../err.txt) ||
  [ -e cwd/ran ] || ! grep -qF "osslsigncode is not installed" err.txt; then
  fail "a signer from the current folder: $(cat err.txt)"
fi

# The signature's description and address, and a time-stamp server that is no address.
build "$@" --stub "$stub" -o described.exe --sign publisher.pem --key publisher.key \
  --description "Test Game 1.01" --url https://example.invalid/game ||
  fail "description: $(cat err.txt)"
osslsigncode verify -CAfile ca.pem -in described.exe >verify.txt 2>&1 || true
grep -qF "Test Game 1.01" verify.txt || fail "the description is not signed: $(cat verify.txt)"
if build "$@" --stub "$stub" -o refused.exe --sign publisher.pem --key publisher.key \
  --timestamp ftp://time.invalid || ! grep -qF "no http:// or https:// address" err.txt; then
  fail "a time-stamp server that is no address: $(cat err.txt)"
fi
[ ! -e refused.exe ] || fail "a refused build wrote its output"
if compgen -G '.mkupdate-*' >/dev/null; then fail "temporary files are left"; fi

echo "$failures failures"
[ "$failures" = 0 ]
