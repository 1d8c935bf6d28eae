#!/usr/bin/env bash
# libkvel installs as a shared library and one header, exports the zorvsock API and
# nothing else, and a C program builds and runs against the installed files alone.
# Usage: installed_api_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" --component Unspecified >/dev/null
test -f "$prefix/include/zorvsock.h"
lib="$prefix/lib/libkvel.so"
test -f "$lib"

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

cc -std=c99 -pedantic -Wall -Wextra -Werror ${ZORV_CFLAGS:-} -I"$prefix/include" \
   "$src/tests/c/zorvsock_c_test.c" -L"$prefix/lib" -lkvel -o "$prefix/c_test"
LD_LIBRARY_PATH="$prefix/lib" "$prefix/c_test"
echo "installed API: ok"
