# shellcheck shell=bash
# The package's monitoring outputs, installed, judged by the clients that
# run them: the textfile converter's metrics for every outcome row, scraped
# by a real node_exporter (Debian's prometheus-node-exporter, on a free
# loopback port, with only the textfile collector), and the monitoring
# plugin's state, status line and performance data for every outcome row,
# then run by a real Nagios 4 (Debian's nagios4-core) and a real Icinga 2
# (icinga2-bin), each inside the probe host's namespace with a configuration
# of its own that loads the shipped definitions.
#
# Sourced by scripts/test-package.sh with the package installed, the
# namespace pair made (tests/integration/netns.sh, kernel echo on) and
# checks.sh loaded; $scratch is its scratch directory (mode 0755). Every
# process started here is stopped again by monitoring_cleanup, which the
# caller's cleanup runs.

: "${program:?}" "${scratch:?}"
textfile=/usr/lib/ketrova-probe/prometheus-textfile
plugin=/usr/lib/nagios/plugins/check_ketrova_probe
probe_aside=$program.monitoring-test
monitoring_pids=()

monitoring_cleanup() {
  local pid
  for pid in "${monitoring_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  monitoring_pids=()
  if [ -e "$probe_aside" ]; then mv -f "$probe_aside" "$program"; fi
}

# expect_daemon_gone NAME: after monitoring_cleanup, the daemon's workers
# end with it: no process is left in the probe host's namespace.
expect_daemon_gone() {
  local left
  for _ in $(seq 50); do
    [ -n "$(ip netns pids "$PROBE_NS")" ] || break
    sleep 0.1
  done
  left=$(ip netns pids "$PROBE_NS" | xargs -r ps -o pid=,args= -p || true)
  check "$1 stopped: no process left in the probe host's namespace" test -z "$left"
  [ -z "$left" ] || echo "  left: $left"
}

# Debian's package starts its own node_exporter on :9100 where systemd runs:
# not on a test host.
if [ -d /run/systemd/system ] && systemctl is-enabled prometheus-node-exporter.service >/dev/null 2>&1; then
  systemctl disable --now prometheus-node-exporter.service >/dev/null 2>&1 || true
fi

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

http_get() {
  python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' "$1"
}

# --- the textfile converter, every outcome row, scraped by node_exporter ------
textfile_dir=$scratch/textfile
mkdir -p "$textfile_dir"
probe_line() { in_probe "$program" "$@"; }
bad_source=$'a\\"b\nc'
declare -A row_line
row_line[series]=$(probe_line --src-ip "$PROBE_IP" --target-ip "$TARGET_IP")
row_line[bind]=$(probe_line --src-ip 192.0.2.99 --target-ip "$TARGET_IP")
row_line[missing]=$(probe_line --target-ip "$TARGET_IP")
row_line[invalid-source]=$(probe_line --src-ip "$bad_source" --target-ip "$TARGET_IP")
row_line[invalid-target]=$(probe_line --src-ip "$PROBE_IP" --target-ip 198.51.100.256)
# The copy without the file capability, as nobody (test-package.sh made it).
row_line[service]=$(in_probe setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
  "$scratch/ketrova-probe" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP")
# Made by hand: a lossy series, and texts with every escape the line has.
row_line[unstable]='{"status":"unstable","loss_rate":10,"avg_latency_ms":250,"jitter_ms":101,"sent":10,"received":9,"src_ip":"192.0.2.10","target_ip":"198.51.100.7","note":""}'
row_line[texts]='{"status":"unavailable","loss_rate":100,"avg_latency_ms":0,"jitter_ms":0,"sent":0,"received":0,"src_ip":"x\\\\y\"z\nw","target_ip":"\t\r\u0001|\u00e9","note":"invalid --src-ip"}'
row_line[texts]=${row_line[texts]//\\u00e9/$'\xc3\xa9'}
for row in series bind missing invalid-source invalid-target service unstable texts; do
  echo "report ($row): ${row_line[$row]}"
  uplink=$row
  [ "$row" != texts ] || uplink=$'up"link\\'
  converted=0
  "$textfile" "$uplink" <<<"${row_line[$row]}" >"$textfile_dir/ketrova-probe-$row.prom" || converted=$?
  check "prometheus-textfile ($row): exit 0" test "$converted" -eq 0
done

# Lines it cannot read: a message, a status other than 0, nothing written.
unreadable=("" "garbage" " ${row_line[series]}" "${row_line[series]} " "${row_line[series]}"$'\n'"${row_line[series]}"
  '{"status":"available","loss_rate":0,"avg_latency_ms":1,"jitter_ms":0,"sent":9,"received":9,"src_ip":"192.0.2.10","target_ip":"198.51.100.7","note":""}'
  '{"status":"available","loss_rate":0,"avg_latency_ms":1,"jitter_ms":0,"sent":10,"received":10,"src_ip":"192.0.2.10","target_ip":"198.51.100.7","note":"\u0041"}'
  "ketrova-probe: failed printing to stdout: Broken pipe")
for line in "${unreadable[@]}"; do
  status=0
  out=$(printf '%s' "$line" | "$textfile" eth1 2>"$scratch/textfile.err") || status=$?
  err=$(cat "$scratch/textfile.err")
  check "prometheus-textfile refuses '${line:0:40}': status $status, nothing written, a message" \
    test "$status" -ne 0 -a -z "$out" -a "${err#prometheus-textfile: }" != "$err"
done
status=0
out=$("$textfile" <<<"${row_line[series]}" 2>&1) || status=$?
check "prometheus-textfile without an uplink: usage, status 2" test "$status" -eq 2 -a "${out#*usage}" != "$out"

exporter_port=$(free_port)
setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all \
  prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter_port" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$textfile_dir" >"$scratch/node-exporter.log" 2>&1 &
monitoring_pids+=($!)
scrape=
for _ in $(seq 50); do
  scrape=$(http_get "http://127.0.0.1:$exporter_port/metrics" 2>/dev/null) && break
  sleep 0.2
done
scraped() { grep -qxF -- "$1" <<<"$scrape"; }
scraped_re() { grep -qxE -- "$1" <<<"$scrape"; }
check "node_exporter scraped the textfile directory" contains "$scrape" "node_textfile_scrape_error"
check "node_exporter: node_textfile_scrape_error 0" scraped "node_textfile_scrape_error 0"
for family in status series_completed source_bind_failed loss_ratio rtt_average_seconds jitter_seconds \
  replies_received; do
  check "node_exporter: ketrova_probe_$family is a gauge" scraped "# TYPE ketrova_probe_$family gauge"
done
# node_exporter writes the labels in the order of their names.
labels() { echo "src_ip=\"$2\",target_ip=\"$3\",uplink=\"$1\""; }
status_labels() { echo "src_ip=\"$2\",status=\"$4\",target_ip=\"$3\",uplink=\"$1\""; }
expect_row() { # ROW SRC TARGET VERDICT COMPLETED BIND [LOSS REPLIES RTT-RE JITTER-RE]
  local row=$1 src=$2 target=$3 verdict=$4 word l
  l=$(labels "$row" "$src" "$target")
  for word in available unstable unavailable; do
    check "node_exporter ($row): status $word $([ "$word" = "$verdict" ] && echo 1 || echo 0)" \
      scraped "ketrova_probe_status{$(status_labels "$row" "$src" "$target" "$word")} $([ "$word" = "$verdict" ] && echo 1 || echo 0)"
  done
  check "node_exporter ($row): series_completed $5" scraped "ketrova_probe_series_completed{$l} $5"
  check "node_exporter ($row): source_bind_failed $6" scraped "ketrova_probe_source_bind_failed{$l} $6"
  if [ "$5" = 1 ]; then
    check "node_exporter ($row): loss_ratio $7" scraped "ketrova_probe_loss_ratio{$l} $7"
    check "node_exporter ($row): replies_received $8" scraped "ketrova_probe_replies_received{$l} $8"
    check "node_exporter ($row): rtt_average_seconds $9" scraped_re "ketrova_probe_rtt_average_seconds\{${l//./\\.}\} $9"
    check "node_exporter ($row): jitter_seconds ${10}" scraped_re "ketrova_probe_jitter_seconds\{${l//./\\.}\} ${10}"
  else
    check "node_exporter ($row): none of the series' figures" \
      test -z "$(grep -E '^ketrova_probe_(loss_ratio|rtt_average_seconds|jitter_seconds|replies_received)\{' \
        <<<"$scrape" | grep -F "uplink=\"$row\"}")"
  fi
}
expect_row series "$PROBE_IP" "$TARGET_IP" available 1 0 0 10 '0(\.[0-9]+)?' '0(\.[0-9]+)?'
expect_row bind 192.0.2.99 "$TARGET_IP" unavailable 1 1 1 0 0 0
expect_row unstable "$PROBE_IP" "$TARGET_IP" unstable 1 0 0.1 9 0.25 0.101
expect_row missing "" "" unavailable 0 0
expect_row invalid-source 'a\\\"b\nc' "$TARGET_IP" unavailable 0 0
expect_row invalid-target "$PROBE_IP" 198.51.100.256 unavailable 0 0
expect_row service "$PROBE_IP" "$TARGET_IP" unavailable 0 0
expect_row $'up\\"link\\\\' $'x\\\\\\\\y\\"z\\nw' $'\t\r\x01|\xc3\xa9' unavailable 0 0
echo "node_exporter's scrape, two uplinks:"
grep -E '^ketrova_probe_[a-z_]+\{.*uplink="(series|bind)"' <<<"$scrape" | sed 's/^/  /'
monitoring_cleanup

# --- the plugin: every outcome row ------------------------------------------
# PLUGIN-RUN: the state, then the output; ARGS as for the plugin.
plugin_run() {
  local status=0 out
  out=$("$@") || status=$?
  printf '%s\n%s' "$status" "$out"
}
expect_plugin() { # NAME STATE LINE-PATTERN COMMAND...
  local name=$1 state=$2 pattern=$3 result status out
  shift 3
  result=$(plugin_run "$@")
  status=${result%%$'\n'*}
  out=${result#*$'\n'}
  echo "plugin ($name): exit $status: $out"
  check "plugin ($name): exit $state" test "$status" -eq "$state"
  check "plugin ($name): one status line as expected" grep -qxE -- "$pattern" <<<"$out"
}
expect_plugin available 0 "KETROVA-PROBE OK - available from $PROBE_IP to $TARGET_IP: loss 0%, average [0-9]+ ms, jitter [0-9]+ ms\\|pl=0%;;;0;100 rta=[0-9]+ms;;;0 jitter=[0-9]+ms;;;0" \
  in_probe "$plugin" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
expect_plugin "bind failure" 2 "KETROVA-PROBE CRITICAL - unavailable from 192\\.0\\.2\\.99 to $TARGET_IP: loss 100%, average 0 ms, jitter 0 ms, note: source bind failed \\(WinError 1231\\)\\|pl=100%;;;0;100 rta=0ms;;;0 jitter=0ms;;;0" \
  in_probe "$plugin" --src-ip 192.0.2.99 --target-ip "$TARGET_IP"
kernel_echo off
expect_plugin "no reply" 2 "KETROVA-PROBE CRITICAL - unavailable from $PROBE_IP to $TARGET_IP: loss 100%, average 0 ms, jitter 0 ms\\|pl=100%;;;0;100 rta=0ms;;;0 jitter=0ms;;;0" \
  in_probe "$plugin" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
kernel_echo on
expect_plugin "missing --src-ip" 3 "KETROVA-PROBE UNKNOWN - no series sent: missing --src-ip" in_probe "$plugin"
expect_plugin "invalid --src-ip, texts with | and line feed" 3 \
  "KETROVA-PROBE UNKNOWN - no series sent from a\\?b\\?c to $TARGET_IP: invalid --src-ip" \
  in_probe "$plugin" --src-ip $'a|b\nc' --target-ip "$TARGET_IP"
expect_plugin "invalid --target-ip" 3 "KETROVA-PROBE UNKNOWN - no series sent from $PROBE_IP to 198\\.51\\.100\\.256: invalid --target-ip" \
  in_probe "$plugin" --src-ip "$PROBE_IP" --target-ip 198.51.100.256
# As nobody under no_new_privs: the plugin holds no capability, and the
# probe gains none from its file when the plugin runs it.
expect_plugin "service unavailable (no privilege)" 3 \
  "KETROVA-PROBE UNKNOWN - no series sent from $PROBE_IP to $TARGET_IP: IcmpCreateFile failed" \
  in_probe setpriv --reuid=nobody --regid=nogroup --clear-groups --nnp --inh-caps=-all \
  "$plugin" --src-ip "$PROBE_IP" --target-ip "$TARGET_IP"
result=$(plugin_run in_probe "$plugin" --src-ip "$PROBE_IP" --taget-ip "$TARGET_IP")
echo "plugin (misspelt option): exit ${result%%$'\n'*}: $(sed -n 2p <<<"$result")"
check "plugin (misspelt option): exit 3, the argument named" \
  grep -qxF "KETROVA-PROBE UNKNOWN - unknown argument '--taget-ip'" <<<"$(sed -n 2p <<<"$result")"
check "plugin (misspelt option): exit 3" test "${result%%$'\n'*}" -eq 3
check "plugin --help: exit 0, usage" grep -q '^Usage: check_ketrova_probe --src-ip ADDRESS' <<<"$("$plugin" --help)"

# A probe that fails, hangs, says nothing readable or is missing: the probe
# set aside for a moment, something else in its place.
mv "$program" "$probe_aside"
stand_in() {
  printf '#!/bin/sh\n%s\n' "$1" >"$program"
  chmod 0755 "$program"
}
stand_in "echo '${row_line[unstable]}'"
expect_plugin unstable 1 "KETROVA-PROBE WARNING - unstable from $PROBE_IP to $TARGET_IP: loss 10%, average 250 ms, jitter 101 ms\\|pl=10%;;;0;100 rta=250ms;;;0 jitter=101ms;;;0" \
  "$plugin" --src-ip "$PROBE_IP"
stand_in "exit 1"
expect_plugin "probe failed" 3 "KETROVA-PROBE UNKNOWN - $program failed with exit status 1" "$plugin" --src-ip "$PROBE_IP"
stand_in "echo not a report"
expect_plugin "probe unreadable" 3 "KETROVA-PROBE UNKNOWN - unreadable report from $program: expected .*" \
  "$plugin" --src-ip "$PROBE_IP"
stand_in "sleep 30"
started=$(date +%s%N)
expect_plugin "probe hangs" 3 "KETROVA-PROBE UNKNOWN - $program gave no report within 11 s" "$plugin" --src-ip "$PROBE_IP"
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
echo "plugin with a hanging probe ended after $elapsed_ms ms"
check "plugin with a hanging probe ends within 12 s by itself" test "$elapsed_ms" -lt 12000
rm -f "$program"
expect_plugin "probe not found" 3 "KETROVA-PROBE UNKNOWN - cannot run $program: No such file or directory" \
  "$plugin" --src-ip "$PROBE_IP"
mv "$probe_aside" "$program"
check "probe back in place with its capability" contains "$(getcap "$program")" cap_net_raw

# --- a real Nagios 4 runs the shipped command definitions ---------------------
definitions=/usr/share/doc/ketrova-probe/examples/nagios-ketrova-probe.cfg
[ -e "$definitions" ] || definitions=$scratch/root$definitions
nagios_dir=$scratch/nagios
mkdir -p "$nagios_dir/checkresults"
cat >"$nagios_dir/nagios.cfg" <<EOF
log_file=$nagios_dir/nagios.log
cfg_file=$nagios_dir/objects.cfg
cfg_file=$definitions
resource_file=$nagios_dir/resource.cfg
status_file=$nagios_dir/status.dat
status_update_interval=1
object_cache_file=$nagios_dir/objects.cache
precached_object_file=$nagios_dir/objects.precache
temp_file=$nagios_dir/nagios.tmp
temp_path=$nagios_dir
lock_file=$nagios_dir/nagios.lock
check_result_path=$nagios_dir/checkresults
command_file=$nagios_dir/nagios.cmd
query_socket=$nagios_dir/nagios.qh
state_retention_file=$nagios_dir/retention.dat
retain_state_information=0
nagios_user=nagios
nagios_group=nagios
check_external_commands=0
enable_notifications=0
use_syslog=0
log_initial_states=1
interval_length=1
service_inter_check_delay_method=n
max_service_check_spread=1
check_result_reaper_frequency=1
service_check_timeout=30
process_performance_data=1
service_perfdata_file=$nagios_dir/service-perfdata
service_perfdata_file_template=\$SERVICEDESC\$\t\$SERVICESTATEID\$\t\$SERVICEOUTPUT\$\t\$SERVICEPERFDATA\$
service_perfdata_file_mode=a
EOF
echo "\$USER1\$=/usr/lib/nagios/plugins" >"$nagios_dir/resource.cfg"
cat >"$nagios_dir/objects.cfg" <<EOF
define timeperiod {
    timeperiod_name  always
    alias            always
    monday           00:00-24:00
    tuesday          00:00-24:00
    wednesday        00:00-24:00
    thursday         00:00-24:00
    friday           00:00-24:00
    saturday         00:00-24:00
    sunday           00:00-24:00
}
define contact {
    contact_name                   nobody
    host_notifications_enabled     0
    service_notifications_enabled  0
    host_notification_period       always
    service_notification_period    always
    host_notification_options      n
    service_notification_options   n
    host_notification_commands     check_ketrova_probe
    service_notification_commands  check_ketrova_probe
}
define host {
    host_name              probe-host
    address                $PROBE_IP
    max_check_attempts     1
    check_period           always
    contacts               nobody
    notification_interval  0
    notification_period    always
}
EOF
for service in "available uplink:check_ketrova_probe_target!$PROBE_IP!$TARGET_IP" \
  "bind failure:check_ketrova_probe_target!192.0.2.99!$TARGET_IP" \
  "probe could not run:check_ketrova_probe!192.0.2.300"; do
  cat >>"$nagios_dir/objects.cfg" <<EOF
define service {
    host_name              probe-host
    service_description    ${service%%:*}
    check_command          ${service#*:}
    max_check_attempts     1
    check_interval         300
    retry_interval         300
    check_period           always
    contacts               nobody
    notification_interval  0
    notification_period    always
}
EOF
done
chown -R nagios:nagios "$nagios_dir"
verified=0
nagios4 -v "$nagios_dir/nagios.cfg" >"$scratch/nagios-verify.log" 2>&1 || verified=$?
check "nagios4 -v: the configuration with the shipped definitions is valid" test "$verified" -eq 0
[ "$verified" -eq 0 ] || sed 's/^/  nagios4: /' "$scratch/nagios-verify.log" | grep -iE 'error|warning' || true
# (Not through in_probe: $! must be the daemon itself, ip netns exec's process.)
ip netns exec "$PROBE_NS" nagios4 "$nagios_dir/nagios.cfg" >"$scratch/nagios.out" 2>&1 &
monitoring_pids+=($!)
# Every service checked once: status.dat says so.
nagios_status() {
  python3 - "$nagios_dir/status.dat" <<'PY'
import re, sys
try:
    text = open(sys.argv[1]).read()
except OSError:
    sys.exit(0)
for block in re.findall(r"servicestatus \{\n(.*?)\n\s*\}", text, re.S):
    fields = dict(line.strip().split("=", 1) for line in block.splitlines() if "=" in line)
    if fields.get("has_been_checked") == "1":
        print("\t".join([fields["service_description"], fields["current_state"], fields["plugin_output"],
                         fields["performance_data"]]))
PY
}
recorded=
for _ in $(seq 120); do
  recorded=$(nagios_status)
  [ "$(grep -c . <<<"$recorded")" -lt 3 ] || break
  sleep 0.5
done
echo "Nagios recorded (service, state, output, performance data):"
while IFS= read -r record; do echo "  $record"; done <<<"$recorded"
nagios_record() { grep "^$1"$'\t' <<<"$recorded" || true; }
expect_nagios() { # SERVICE STATE OUTPUT-PATTERN PERFDATA-PATTERN
  local record
  record=$(nagios_record "$1")
  check "Nagios ($1): state $2" test "$(cut -f2 <<<"$record")" = "$2"
  check "Nagios ($1): output as the plugin's" grep -qxE -- "$3" <<<"$(cut -f3 <<<"$record")"
  check "Nagios ($1): performance data as the plugin's" grep -qxE -- "$4" <<<"$(cut -f4 <<<"$record")"
}
expect_nagios "available uplink" 0 \
  "KETROVA-PROBE OK - available from $PROBE_IP to $TARGET_IP: loss 0%, average [0-9]+ ms, jitter [0-9]+ ms" \
  "pl=0%;;;0;100 rta=[0-9]+ms;;;0 jitter=[0-9]+ms;;;0"
expect_nagios "bind failure" 2 \
  "KETROVA-PROBE CRITICAL - unavailable from 192\\.0\\.2\\.99 to $TARGET_IP: loss 100%, average 0 ms, jitter 0 ms, note: source bind failed \\(WinError 1231\\)" \
  "pl=100%;;;0;100 rta=0ms;;;0 jitter=0ms;;;0"
expect_nagios "probe could not run" 3 \
  "KETROVA-PROBE UNKNOWN - no series sent from 192\\.0\\.2\\.300 to 1\\.1\\.1\\.1: invalid --src-ip" ""
check "Nagios wrote the performance data of the two series" \
  test "$(grep -c 'pl=' "$nagios_dir/service-perfdata" 2>/dev/null || echo 0)" -ge 2
monitoring_cleanup
expect_daemon_gone "Nagios"

# --- a real Icinga 2 runs the shipped CheckCommand ----------------------------
checkcommand=/usr/share/doc/ketrova-probe/examples/icinga2-ketrova-probe.conf
[ -e "$checkcommand" ] || checkcommand=$scratch/root$checkcommand
icinga_dir=$scratch/icinga2
mkdir -p "$icinga_dir"/{lib,log,cache,spool,run/icinga2}
cat >"$icinga_dir/icinga2.conf" <<EOF
include <itl>
const PluginDir = "/usr/lib/nagios/plugins"
include "$checkcommand"
object CheckerComponent "checker" { }
object FileLogger "log" {
  path = "$icinga_dir/icinga2.log"
  severity = "information"
}
object Host "probe-host" {
  check_command = "dummy"
  enable_active_checks = false
}
EOF
for service in "available uplink:$PROBE_IP:$TARGET_IP" "bind failure:192.0.2.99:$TARGET_IP" \
  "probe could not run:192.0.2.300:"; do
  IFS=: read -r name src target <<<"$service"
  {
    echo "object Service \"$name\" {"
    echo '  host_name = "probe-host"'
    echo '  check_command = "ketrova-probe"'
    echo '  check_interval = 2s'
    echo "  vars.ketrova_probe_src_ip = \"$src\""
    [ -z "$target" ] || echo "  vars.ketrova_probe_target_ip = \"$target\""
    echo "}"
  } >>"$icinga_dir/icinga2.conf"
done
chown -R nagios:nagios "$icinga_dir"
# Every path of its own in the temporary directory, none in the system's.
d=$icinga_dir
icinga_options=(-c "$d/icinga2.conf" -DDataDir="$d/lib" -DLogDir="$d/log" -DCacheDir="$d/cache" -DSpoolDir="$d/spool"
  -DInitRunDir="$d/run" -DVarsPath="$d/cache/vars" -DPidPath="$d/run/icinga2/icinga2.pid"
  -DStatePath="$d/lib/icinga2.state" -DObjectsPath="$d/cache/objects" -DRunAsUser=nagios -DRunAsGroup=nagios)
verified=0
icinga2 daemon -C "${icinga_options[@]}" >"$scratch/icinga-verify.log" 2>&1 || verified=$?
check "icinga2 daemon -C: the configuration with the shipped CheckCommand is valid" test "$verified" -eq 0
[ "$verified" -eq 0 ] || grep -E 'critical|warning' "$scratch/icinga-verify.log" | sed 's/^/  icinga2: /'
# Checked every two seconds for a while, then stopped: Icinga writes each
# service's last result into its state file as it shuts down.
# (Not through a function: $! must be the daemon itself.)
ip netns exec "$PROBE_NS" icinga2 daemon "${icinga_options[@]}" >"$scratch/icinga.out" 2>&1 &
icinga_pid=$!
monitoring_pids+=("$icinga_pid")
sleep 12
kill "$icinga_pid" 2>/dev/null || true
wait "$icinga_pid" 2>/dev/null || true
icinga_recorded=$(python3 - "$icinga_dir/lib/icinga2.state" <<'PY'
import json, sys
try:
    data = open(sys.argv[1]).read()
except OSError:
    sys.exit(0)
i = 0
while i < len(data):
    colon = data.index(":", i)
    size = int(data[i:colon])
    item = json.loads(data[colon + 1:colon + 1 + size])
    i = colon + size + 2
    result = item.get("update", {}).get("last_check_result")
    if item.get("type") == "Service" and result:
        print("\t".join([item["name"].split("!", 1)[1], str(int(result["state"])), str(result["exit_status"]),
                         result["output"], " ".join(result["performance_data"] or [])]))
PY
)
echo "Icinga 2 recorded (service, state, exit status, output, performance data):"
while IFS= read -r record; do echo "  $record"; done <<<"$icinga_recorded"
expect_icinga() { # SERVICE STATE OUTPUT-PATTERN PERFDATA-PATTERN
  local record
  record=$(grep "^$1"$'\t' <<<"$icinga_recorded" || true)
  check "Icinga 2 ($1): state $2" test "$(cut -f2 <<<"$record")" = "$2" -a "$(cut -f3 <<<"$record")" = "$2"
  check "Icinga 2 ($1): output as the plugin's" grep -qxE -- "$3" <<<"$(cut -f4 <<<"$record")"
  check "Icinga 2 ($1): performance data as the plugin's" grep -qxE -- "$4" <<<"$(cut -f5 <<<"$record")"
}
expect_icinga "available uplink" 0 \
  "KETROVA-PROBE OK - available from $PROBE_IP to $TARGET_IP: loss 0%, average [0-9]+ ms, jitter [0-9]+ ms" \
  "pl=0%;;;0;100 rta=[0-9]+ms;;;0 jitter=[0-9]+ms;;;0"
expect_icinga "bind failure" 2 \
  "KETROVA-PROBE CRITICAL - unavailable from 192\\.0\\.2\\.99 to $TARGET_IP: loss 100%, average 0 ms, jitter 0 ms, note: source bind failed \\(WinError 1231\\)" \
  "pl=100%;;;0;100 rta=0ms;;;0 jitter=0ms;;;0"
expect_icinga "probe could not run" 3 \
  "KETROVA-PROBE UNKNOWN - no series sent from 192\\.0\\.2\\.300 to 1\\.1\\.1\\.1: invalid --src-ip" ""
monitoring_cleanup
expect_daemon_gone "Icinga 2"
