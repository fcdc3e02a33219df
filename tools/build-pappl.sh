#!/usr/bin/env bash
# Builds PAPPL 1.4.11 from third_party/ into DIRECTORY/prefix, static and private (never
# installed into the system), for the CMake preset pappl-1.4. Does nothing when it is built.
# Usage: tools/build-pappl.sh DIRECTORY
set -euo pipefail
cd "$(dirname "$0")/.."
tarball=$PWD/third_party/pappl-1.4.11.tar.gz
directory=$(realpath -m "$1")
[ -f "$directory/prefix/lib/libpappl.a" ] && exit 0
rm -rf "$directory"
mkdir -p "$directory"
tar -xzf "$tarball" -C "$directory"
cd "$directory/pappl-1.4.11"
# As Debian builds its PAPPL: TLS through GnuTLS, as libcups's; DNS-SD through Avahi.
./configure --prefix="$directory/prefix" --disable-shared --with-tls=gnutls --with-dnssd=avahi \
    >"$directory/configure.log" 2>&1 || { cat "$directory/configure.log"; exit 1; }
make -C pappl -j2 install >"$directory/make.log" 2>&1 || { tail -40 "$directory/make.log"; exit 1; }
