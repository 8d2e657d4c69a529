#!/bin/bash
# The release folder as scripts/package makes it, checked from the Linux side. Signed with
# a throwaway certificate, the MSI and the DLL and program (in the zip, and the same bytes
# in the MSI) pass osslsigncode verify; without a certificate none of them is signed.
# Each folder holds the MSI, the zip and SHA256SUMS, which matches; the zip holds the
# MSI's files and the install text. Leaves in OUT the signed release for installer_tests,
# and an older package of the same product (version 1.0.0) built from the same files.
#
#   package_test.sh BUILD_DIR OUT
set -euo pipefail
export LC_ALL=C  # the listings below in byte order
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=$1 out=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
verified() { osslsigncode verify -CAfile "$out/cert.pem" -in "$1" >/dev/null 2>&1; }

rm -rf "$out"
mkdir -p "$out"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Throwaway Test Signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$out/key.pem" -out "$out/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$out/key.pem" -in "$out/cert.pem" -out "$out/signer.pfx" -passout pass:throwaway

TALLOWMERE_SIGNING_CERT=$out/signer.pfx TALLOWMERE_SIGNING_PASSWORD=throwaway BUILD_DIR=$build_dir \
    "$repo/scripts/package" --no-build --out "$out/signed" >/dev/null
env -u TALLOWMERE_SIGNING_CERT BUILD_DIR="$build_dir" "$repo/scripts/package" --no-build --out "$out/unsigned" >/dev/null

name=TallowmerePlugin-$(<"$build_dir/generated/installer/release-version")
for release in signed unsigned; do
    dir=$out/$release
    listing=$(cd "$dir" && ls | tr '\n' ' ')
    [[ $listing == "SHA256SUMS $name.msi $name.zip " ]] || fail "$release: the folder holds $listing"
    (cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "$release: SHA256SUMS does not match"
    python3 -m zipfile -e "$dir/$name.zip" "$out/$release-zip"
    listing=$(cd "$out/$release-zip" && ls | sort | tr '\n' ' ')
    [[ $listing == "INSTALL.txt README.md TallowmerePlugin.dll backup-client.exe " ]] ||
        fail "$release: the zip holds $listing"
    msiextract -C "$out/$release-msi" "$dir/$name.msi" >/dev/null
    for file in TallowmerePlugin.dll backup-client.exe README.md; do
        cmp -s "$out/$release-zip/$file" "$out/$release-msi/Programs/Kestrava Backup/$file" ||
            fail "$release: $file differs between the zip and the MSI"
    done
    cmp -s "$repo/README.md" "$out/$release-zip/README.md" || fail "$release: README.md is not the repository's"
done
for file in "signed/$name.msi" signed-zip/TallowmerePlugin.dll signed-zip/backup-client.exe; do
    verified "$out/$file" || fail "$file: the signature does not verify"
done
for file in "unsigned/$name.msi" unsigned-zip/TallowmerePlugin.dll unsigned-zip/backup-client.exe; do
    ! verified "$out/$file" || fail "$file: signed without a certificate"
done

"$repo/installer/build-msi" "$build_dir" "$out/signed-zip" "$out/older.msi" -D ProductVersion=1.0.0

((failures == 0)) || exit 1
echo "package_test: the release verified"
