#!/usr/bin/env bash
# `cmake --install` into a fresh prefix puts every deliverable where GNUInstallDirs
# says: libkvel under its versioned name with one header and a pkg-config file, the
# preload libraries beside it, the programs in bin. libkvel exports the zorvsock API and
# nothing else, and a C program outside the tree builds with `pkg-config --cflags
# --libs kvel` alone and runs.
# Usage: installed_api_test.sh BUILD_DIR SOURCE_DIR [PROGRAM...]
# (the programs that the build defines besides zorvwr_term; empty words are skipped)
set -euo pipefail
build=$1 src=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null

pc=$(find "$prefix" -name kvel.pc)
[[ -n $pc ]] || { echo "no kvel.pc installed"; exit 1; }
export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(realpath -e "$(pkg-config --variable=libdir kvel)")
includedir=$(realpath -e "$(pkg-config --variable=includedir kvel)")
[[ $libdir == "$prefix"/* ]] || { echo "kvel.pc points outside the prefix: $libdir"; exit 1; }
test -f "$includedir/zorvsock.h"

# Programs link the name that changes only with the API; the development link leads there.
lib=$libdir/libkvel.so
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[[ $soname == libkvel.so.1 ]] || { echo "libkvel's SONAME is '$soname'"; exit 1; }
[[ -L $lib && -L $libdir/$soname ]] || { echo "libkvel.so and $soname must be links"; exit 1; }
real=$(readlink -f "$lib")
[[ $real == $libdir/libkvel.so.1.* && ! -L $real ]] || { echo "libkvel.so leads to $real"; exit 1; }
for preload in libzorvload.so libzorvload_unsafe.so; do
  test -f "$libdir/$preload" || { echo "missing $libdir/$preload"; exit 1; }
done
for program in zorvwr_term "$@"; do
  [[ -z $program ]] || test -x "$prefix/bin/$program" || { echo "missing $prefix/bin/$program"; exit 1; }
done
# The installed terminal runs without the build tree: with no argument it says how to use it.
status=0
"$prefix/bin/zorvwr_term" 2>"$work/term.err" </dev/null || status=$?
[[ $status == 1 && $(cat "$work/term.err") == "usage: zorvwr_term DEVICE" ]] ||
  { echo "installed zorvwr_term: status $status, $(cat "$work/term.err")"; exit 1; }

exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sort)
stray=$(grep -v '^zorvsock_' <<<"$exported" || true)
if [ -n "$stray" ]; then
  echo "libkvel exports symbols outside the API:"; echo "$stray"; exit 1
fi
for fn in acquire_handle release_handle set_opt get_opt setoption str2ip ip2str get_githash \
          get_lib_version time_open time_get get_tsc_frequency bk_tsc \
          enable_tx_timestamping get_tx_timestamp get_pmapcsmac_delays \
          udp_configure udp_configure_multicast udp_configure_rx_multicast_mask \
          disable_multicast udp_send udp_send_ready udp_zc_receive udp_zc_receivefrom \
          udp_zc_receivefrom_full udp_zc_receive_done \
          tcp_connect tcp_listen tcp_create_listener tcp_accept_ready tcp_accept \
          tcp_disconnect tcp_disable tcp_get_status tcp_get_peer tcp_state_str \
          tcp_send tcp_send_ready tcp_zc_receive tcp_zc_receive_done; do
  grep -qx "zorvsock_$fn" <<<"$exported" || { echo "missing export zorvsock_$fn"; exit 1; }
done

# A program of someone else's, in a directory of its own, knowing only the package name.
mkdir "$work/app"
cp "$src/tests/c/zorvsock_c_test.c" "$work/app/app.c"
(cd "$work/app" &&
  cc -std=c99 -pedantic -Wall -Wextra -Werror ${ZORV_CFLAGS:-} app.c \
     $(pkg-config --cflags --libs kvel) -o app)
objdump -p "$work/app/app" | grep -q "NEEDED *libkvel.so.1$" ||
  { echo "the program does not record libkvel.so.1"; exit 1; }
LD_LIBRARY_PATH="$libdir" "$work/app/app"
echo "installed: ok"
