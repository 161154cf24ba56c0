# The checks of scripts/test_usb_vm.sh, run by busybox sh inside the guest. Each prints one line,
# "PASS name: ..." or "FAIL name: ..."; figures and what the driver did go on "figure:" and
# "driver:" lines. Everything goes through /dev/ttyACM0, i.e. the kernel's cdc_acm driver.

acm=/dev/ttyACM0
gadget=/sys/kernel/config/usb_gadget/lumaflash
udc=dummy_udc.0
type=3514 block=512 length=65536 pause_ms=10 # a 10 ms device type
floor_ms=$((100 + length / block * pause_ms + 100))

fail() { echo "FAIL $*"; }
# verdict STATUS PASS-TEXT FAIL-TEXT: a check's line, PASS when STATUS (of its condition) is 0.
verdict() {
  if [ "$1" = 0 ]; then
    echo "PASS $2"
  else
    fail "$3"
  fi
}
now() { cut -d' ' -f1 /proc/uptime; } # seconds, two decimals
has() { grep -q -- "$2" "$1"; }
flat() { tr -d ' \n' <"$1"; } # JSON without layout, for grep
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null; } # user + system, 1/100 s

# until_within TENTHS COMMAND...: runs COMMAND every 0.1 s until it succeeds or time is up.
until_within() {
  local tenths=$1 i=0
  shift
  until "$@"; do
    i=$((i + 1))
    [ $i -gt "$tenths" ] && return 1
    sleep 0.1
  done
}
holds() { grep -q -- "$2" "$1" 2>/dev/null; } # FILE PATTERN
wait_for() { until_within "$3" holds "$1" "$2"; } # FILE PATTERN TENTHS
ended() { [ ! -e "/proc/$1" ] || grep -q ') Z' "/proc/$1/stat" 2>/dev/null; } # gone or a zombie

wait_gone() { # PID TENTHS: wait for a background program to end; kill it when it does not
  until_within "$2" ended "$1" && return
  kill -9 "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  return 1
}

plug() { echo "$udc" >"$gadget/UDC"; }
unplug() { echo "" >"$gadget/UDC"; }

# Serves a fresh simulated device on the gadget's tty; its report goes to FILE when it stops.
start_sim() {
  lumaflash-sim --tty /dev/ttyGS0 --type $type --block-size $block >"$1" 2>&1 &
  sim_pid=$!
  wait_for "$1" /dev/ttyGS0 50 || fail "sim: lumaflash-sim did not start: $(cat "$1")"
}
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null
  wait_gone "$sim_pid" 50
}
# The device received the whole image, on time, and the run packet: digest, violations, run.
sim_got_image() {
  has "$1" "sha256 $image_sha" && has "$1" " 0 timing violations" && has "$1" "run yes"
}

# --- the USB link: dummy_hcd connects the ACM gadget to cdc_acm ------------------------------
for module in configfs libcomposite usb_f_acm dummy_hcd cdc-acm; do
  modprobe "$module" || fail "setup: modprobe $module"
done
mount -t configfs none /sys/kernel/config
mkdir "$gadget" "$gadget/strings/0x409" "$gadget/configs/c.1" "$gadget/functions/acm.usb0"
echo 0x1209 >"$gadget/idVendor"
echo 0x0001 >"$gadget/idProduct"
echo LumaflashTest >"$gadget/strings/0x409/manufacturer"
echo GadgetBootloader >"$gadget/strings/0x409/product"
echo 00A1B2 >"$gadget/strings/0x409/serialnumber"
ln -s "$gadget/functions/acm.usb0" "$gadget/configs/c.1/"
plug
until_within 100 [ -e $acm ] || fail "setup: $acm did not appear after binding the gadget"
echo "driver: $(readlink /sys/class/tty/ttyACM0/device/driver | sed 's,.*/,,') on $acm, gadget tty /dev/ttyGS0"

lumaflash-mkimage $type $length image.bin >/dev/null
image_sha=$(lumaflash-cli info image.bin | sed -n 's/^SHA-256: *//p')
start_sim sim1.out

# --- scan through the real driver, and the port's settings around it ----------------------
stty -F $acm 9600 cs7 parenb -icanon
before=$(stty -F $acm -g)
lumaflash-cli scan --port $acm >scan.out 2>&1
rc=$?
after=$(stty -F $acm -g)
[ $rc = 0 ] && has scan.out "^$acm " && has scan.out "1 Interfaces found"
verdict $? "scan: finds the device on $acm" "scan: exit $rc: $(cat scan.out)"
[ "$before" = "$after" ]
verdict $? "termios: unchanged by a scan" "termios: before $before, after $after"

lumaflash-cli ports --json >ports.json 2>&1
lumaflash-cli scan --port $acm --json >scan.json 2>&1
# The identity as the gadget declared it, key by key, in the row of the port.
shows_identity() {
  local row key
  row=$(flat "$1" | sed 's/"port":/\n"port":/g' | grep "^\"port\":\"$acm\"")
  for key in '"vid":"1209"' '"pid":"0001"' '"manufacturer":"LumaflashTest"' \
    '"product":"GadgetBootloader"' '"serial":"00A1B2"'; do
    echo "$row" | grep -q "\"usb\":{[^}]*$key" || return 1
  done
}
for file in ports.json scan.json; do
  shows_identity $file
  verdict $? "identity: ${file%.json} --json shows the gadget's USB identity" \
    "identity: ${file%.json} --json: $(cat $file)"
done

# --- the system walk: finds the device, leaves the console and the phantom UARTs alone -------
flat ports.json | sed 's/"port":/\n"port":/g' >ports.rows
uarts_ok=yes
for port in /sys/class/tty/ttyS*; do
  name=${port##*/}
  want=no-uart
  grep -q "console=$name" /proc/cmdline && want=console
  grep -q "\"port\":\"/dev/$name\".*\"skipped\":\"$want\"" ports.rows || uarts_ok="$name not skipped as $want"
done
sleep 0.5 # the console's own output drains before the counters are read
grep '^[0-9]*:' /proc/tty/driver/serial | sed 's/ rx:.*//' >tx.before
lumaflash-cli scan >walk.out 2>&1
rc=$?
grep '^[0-9]*:' /proc/tty/driver/serial | sed 's/ rx:.*//' >tx.after
[ $rc = 0 ] && has walk.out "^$acm " && has walk.out "1 Interfaces found"
verdict $? "walk: scan without --port finds the device on $acm" "walk: exit $rc: $(cat walk.out)"
[ "$uarts_ok" = yes ] && cmp -s tx.before tx.after
verdict $? "walk: console and phantom UARTs skipped, not one byte written to them" \
  "walk: $uarts_ok; transmit counters before: $(cat tx.before); after: $(cat tx.after)"

# --- flash of a 64 KiB image; meanwhile a second program finds the port busy -----------------
lumaflash-cli flash image.bin --port $acm --json >flash.json 2>flash.err &
flash_pid=$!
wait_for flash.err progress 100
# At the lowest priority, so that starting it does not hold up the update's acknowledges.
sh -c 'renice -n 19 -p $$ >/dev/null; exec lumaflash-cli scan --port "$1"' - $acm >busy.out 2>&1
wait_gone $flash_pid 300
wait $flash_pid
rc=$?
stop_sim
[ $rc = 0 ] && sim_got_image sim1.out
verdict $? "flash: 64 KiB through cdc_acm, digest matches, no block before its pause" \
  "flash: exit $rc: $(cat flash.err) / device: $(tail -1 sim1.out)"
has busy.out "$acm is busy" && ! has busy.out "^$acm "
verdict $? "busy: a second program cannot take $acm during an update" \
  "busy: second scan during the update said: $(cat busy.out)"
duration=$(flat flash.json | sed -n 's/.*"durationMs":\([0-9]*\).*/\1/p')
if [ -n "$duration" ]; then
  echo "figure: update of 64 KiB over cdc_acm: wall ${duration} ms, protocol floor ${floor_ms} ms," \
    "ratio $(awk "BEGIN{printf \"%.2f\", $duration / $floor_ms}")"
fi

# --- unplug while blocks flow ---------------------------------------------------------------
start_sim sim2.out
time -p -o unplug.time lumaflash-cli flash image.bin --port $acm >unplug.out 2>&1 &
flash_pid=$!
wait_for unplug.out "progress" 100
cli_pid=$(pidof lumaflash-cli)
cpu_before=$(cpu_ticks "$cli_pid")
unplugged=$(now)
unplug
wait_gone $flash_pid 100
hung=$?
wait $flash_pid
rc=$?
ended=$(now)
stop_sim
# CPU seconds the program used from the unplug to its end, against the time that took.
cpu_after=$(awk -v before="$cpu_before" '/^(user|sys)/ {s += $2} END {print s - before / 100}' unplug.time)
took=$(awk "BEGIN{print $ended - $unplugged}")
echo "driver: at unplug the program saw: $(sed -n 's/.*vanished.*(\(.*\)).*/\1/p' unplug.out | head -1)"
[ $hung = 0 ] && [ $rc = 9 ] && has unplug.out "Timeout on write data !" &&
  has unplug.out "$acm vanished" && has sim2.out "run no"
verdict $? "unplug: exit 9, \"Timeout on write data !\", $acm named as vanished, no run packet" \
  "unplug: exit $rc (killed after 10 s: $hung): $(cat unplug.out) / device: $(tail -1 sim2.out)"
[ -n "$cpu_before" ] && awk "BEGIN{exit !($took < 3 && $cpu_after <= 0.5 * $took + 0.02)}"
took_line="unplug: ended $took s after the unplug, using ${cpu_after:-?} s of CPU meanwhile"
verdict $? "$took_line" "$took_line"

# --- replug: a waiting program takes the device when it appears ------------------------------
start_sim sim3.out
lumaflash-cli flash image.bin --wait >replug.out 2>&1 & # the system walk, as on a bench
flash_pid=$!
wait_for replug.out "Waiting for" 50
sleep 1 # at least one more round of the wait on an absent port
plug
wait_gone $flash_pid 300
wait $flash_pid
rc=$?
stop_sim
[ $rc = 0 ] && sim_got_image sim3.out
verdict $? "replug: flash --wait took the device when the gadget was bound" \
  "replug: exit $rc: $(cat replug.out) / device: $(tail -1 sim3.out)"
