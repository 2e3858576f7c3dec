#!/usr/bin/env bash
# Runs one GUI scenario of guidriver against Velmora.exe:
#
#   run_gui_test.sh VELMORA.EXE GUIDRIVER.EXE SCENARIO ARTEFACT_DIR [ADDRESS]
#
# Starts a virtual X server on a display of its own, a Wine prefix of the
# GUI tests (VELMORA_GUI_WINEPREFIX, default beside the exe) on it, the wizard,
# and the driver; takes the screenshots the driver asks for (ARTEFACT_DIR/
# NAME.req -> NAME.png). Extra environment for the wizard (for example
# VELMORA_TEST_PORTS) is passed through. Settings of the run:
#   VELMORA_GUI_GATEWAY=ADDR:PORT    a fake gateway (busybox httpd serving
#                                    gateway/) listens there
#   VELMORA_GUI_GATEWAY_LOGIN=U:P    ... and asks for this login
#   VELMORA_GUI_GATEWAY_VERSION=V    ... and runs this firmware version
#                                    (backslash escapes as printf %b reads them)
#   VELMORA_GUI_GATEWAY_FLASHED=V    ... and this one once it took an image
#                                    (default: it keeps running V)
#   VELMORA_GUI_GATEWAY_SLOW=1       ... and reads uploads at about 100 KB/s
#   VELMORA_GUI_GATEWAY_WIRELESS=1   ... and has its access point on, with
#                                    settings to keep
#   VELMORA_GUI_KIT=1                run from a kit folder (the exe and a
#                                    kit that passes the kit check, holding
#                                    VELMORA_GUI_KIT_VERSION for the
#                                    platform GKIT) in ARTEFACT_DIR/kit
#   VELMORA_GUI_KIT=DIR              ... the exe and a copy of the kit in DIR
#   VELMORA_GUI_KIT_DIRNAME=NAME     the kit folder's name (UTF-8), instead of
#                                    "kit"
#   VELMORA_GUI_POWER_OFF=COMMAND    the driver's gateway-off runs COMMAND
#                                    (a simulated gateway's power cycle,
#                                    which comes back by itself); its
#                                    gateway-on then does nothing
#   VELMORA_GUI_NETNS=1              run in a network namespace of our own
#                                    where only 127.0.0.1 and the gateway's
#                                    address are local, so that the driver
#                                    can take the gateway off the network
#                                    and back (requests gateway-off.cmd,
#                                    gateway-on.cmd; answers NAME.done)
# The driver may also ask for the wizard to be started again
# (start-wizard.cmd). Every run starts without the files an earlier one left
# at the root of the prefix's C: (the backup, its note, the log).
# Everything it started is stopped again, by pid, however the run ends.
set -u
exe=$(readlink -f "$1") driver=$(readlink -f "$2") scenario=$3 out=$4
address=${5:-}
root=$(cd "$(dirname "$0")/../../../.." && pwd)

if [ -n "${VELMORA_GUI_NETNS:-}" ] && [ -z "${VELMORA_GUI_IN_NETNS:-}" ]; then
  export VELMORA_GUI_IN_NETNS=1
  exec unshare -n -- "$0" "$@"
fi
gateway_host=${VELMORA_GUI_GATEWAY:-}; gateway_host=${gateway_host%:*}
if [ -n "${VELMORA_GUI_IN_NETNS:-}" ]; then
  ip link set lo up
  ip route del local 127.0.0.0/8 dev lo table local
  ip route add local 127.0.0.1 dev lo table local
  ip route add local "$gateway_host" dev lo table local
fi

mkdir -p "$out"
rm -f "$out"/*.req "$out"/*.png "$out"/*.cmd "$out"/*.done "$out/.wizard.pid"
# Never the shared prefix: the run ends by stopping everything in its own.
export VELMORA_WINEPREFIX=${VELMORA_GUI_WINEPREFIX:-$(dirname "$exe")/wineprefix-gui}
export WINEPREFIX=$VELMORA_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64

xvfb_pid= wizard_pid= shots_pid= wine_started= gateway_pid=
cleanup() {
  [ -n "$gateway_pid" ] && kill "$gateway_pid" 2>/dev/null
  [ -n "$shots_pid" ] && kill "$shots_pid" 2>/dev/null
  [ -n "$wizard_pid" ] && kill "$wizard_pid" 2>/dev/null
  # Our prefix holds nothing but what this run started.
  [ -n "$wine_started" ] && { wineserver -k </dev/null >/dev/null 2>&1; wineserver -w </dev/null >/dev/null 2>&1; }
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT

# A display nobody uses; another run may take the same number at the same
# moment, so a server that dies at once means: try the next one.
for n in $(seq 70 99); do
  [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -S "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$xvfb_pid" 2>/dev/null && [ -S "/tmp/.X11-unix/X$n" ]; then
    export DISPLAY=":$n"
    break
  fi
  xvfb_pid=
done
[ -n "$xvfb_pid" ] || { echo "no free X display"; exit 1; }

if [ -n "${VELMORA_GUI_GATEWAY:-}" ]; then
  site="$out/gateway"
  rm -rf "$site" && cp -r "$(dirname "$0")/gateway" "$site"
  printf '%b' "${VELMORA_GUI_GATEWAY_VERSION:-}" > "$site/version"
  rm -f "$site/flashed" "$site/slow" "$site/wireless" "$site/ap-on"
  [ -n "${VELMORA_GUI_GATEWAY_FLASHED:-}" ] && printf '%s' "$VELMORA_GUI_GATEWAY_FLASHED" > "$site/flashed"
  [ -n "${VELMORA_GUI_GATEWAY_SLOW:-}" ] && : > "$site/slow"
  [ -n "${VELMORA_GUI_GATEWAY_WIRELESS:-}" ] && : > "$site/wireless" && : > "$site/ap-on"
  : > "$site/httpd.conf"
  [ -n "${VELMORA_GUI_GATEWAY_LOGIN:-}" ] && echo "/cgi-bin:$VELMORA_GUI_GATEWAY_LOGIN" > "$site/httpd.conf"
  busybox httpd -f -p "$VELMORA_GUI_GATEWAY" -h "$site" -c "$site/httpd.conf" &
  gateway_pid=$!
  host=${VELMORA_GUI_GATEWAY%:*} port=${VELMORA_GUI_GATEWAY##*:}
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null && break
    sleep 0.1
  done
  kill -0 "$gateway_pid" 2>/dev/null || { echo "fake gateway did not start"; exit 1; }
fi

# A kit folder named outside the system's code page needs Wine to read
# Unix names as UTF-8.
export LC_ALL=C.UTF-8
wine_started=1
"$root/scripts/wine-env" start || { echo "Wine prefix did not start"; exit 1; }
for f in Ssid Ssid.new AccessList AccessList.new SsidPowerCycle zuntmp.dat Velmora.log; do
  rm -f "$WINEPREFIX/drive_c/$f"
done

if [ -n "${VELMORA_GUI_KIT:-}" ]; then
  kit="$out/${VELMORA_GUI_KIT_DIRNAME:-kit}"
  rm -rf "$kit" && mkdir -p "$kit"
  cp "$exe" "$kit/" && exe="$kit/$(basename "$exe")"
  if [ -d "$VELMORA_GUI_KIT" ]; then
    cp -r "$VELMORA_GUI_KIT"/. "$kit/"
  else
    # A file-system image with its tag: magic 0xC453DE23, then the cksum
    # CRC of the image, both little-endian.
    { printf 'hsqs'; head -c 699996 /dev/zero; } > "$kit/fw.payload"
    crc=$(cksum < "$kit/fw.payload" | cut -d' ' -f1)
    le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
    { cat "$kit/fw.payload"; printf "$(le32 $((0xC453DE23)))$(le32 "$crc")"; } > "$kit/fw.img"
    rm "$kit/fw.payload"
    printf '<?xml version="1.0"?>\n<config version="%s">\n</config>\n' \
      "${VELMORA_GUI_KIT_VERSION:-3.60.3.0.6-GKIT}" > "$kit/config.xml"
    echo GKIT > "$kit/upgrade.ini"
  fi
fi
# Screenshots and power cycles on request.
(
  while :; do
    for cmd in "$out"/*.cmd; do
      [ -e "$cmd" ] || continue
      name=$(basename "$cmd" .cmd)
      case "$name" in
        gateway-off)
          if [ -n "${VELMORA_GUI_POWER_OFF:-}" ]; then bash -c "$VELMORA_GUI_POWER_OFF"
          else ip route del local "$gateway_host" dev lo table local; fi ;;
        gateway-on)
          [ -n "${VELMORA_GUI_POWER_OFF:-}" ] || ip route add local "$gateway_host" dev lo table local ;;
        start-wizard)
          (cd "$out/elsewhere" && exec wine "$exe" </dev/null >>"$out/wizard.log" 2>&1) &
          echo $! > "$out/.wizard.pid" ;;
      esac
      rm -f "$cmd"
      : > "$out/$name.done"
    done
    for req in "$out"/*.req; do
      [ -e "$req" ] || continue
      name=$(basename "$req" .req)
      import -window root "$out/.$name.png" && mv "$out/.$name.png" "$out/$name.png"
      rm -f "$req"
    done
    sleep 0.1
  done
) &
shots_pid=$!

# Started as a shortcut starts it, in another folder than its own: the kit
# beside the exe is what counts.
mkdir -p "$out/elsewhere" && cd "$out/elsewhere"
wine "$exe" </dev/null >"$out/wizard.log" 2>&1 &
wizard_pid=$!

win_out="Z:$(readlink -f "$out" | tr / '\\')"
wine "$driver" "$scenario" "$win_out" $address </dev/null
rc=$?

# A wizard started again by the driver is the one that must end.
if [ -f "$out/.wizard.pid" ]; then
  kill -0 "$wizard_pid" 2>/dev/null && { echo "FAIL: the first Velmora.exe still running"; rc=1; }
  wizard_pid=$(cat "$out/.wizard.pid")
  rm -f "$out/.wizard.pid"
fi
# Every scenario ends the program; it must really be gone.
for _ in $(seq 200); do
  kill -0 "$wizard_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$wizard_pid" 2>/dev/null; then
  echo "FAIL: Velmora.exe still running after the scenario"
  rc=1
else
  wizard_pid=
fi
exit $rc
