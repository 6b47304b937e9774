# Sourced by scripts/demo and scripts/bench: the sample data under a scratch root and a
# quelmo.fast serving it in the foreground on a free port of 127.0.0.1.
#
#   sample_data BUILD ROOT ID   writes ROOT afresh (log, database and dial-plan
#                               directories), copies the sample dial-plan files and loads the
#                               sample databases of server ID with BUILD's quelmo.admin. BUILD
#                               must have been configured with QUELMO_ROOT=ROOT.
#   start_sample_server BUILD ID PORT
#                               starts BUILD's quelmo.fast -d ID PORT, sets sample_server_pid,
#                               and returns once the socket listens (without connecting: a
#                               connection would be a call).
#   stop_sample_server          ends that process and waits for it.
#
# Paths of the sample files are relative to the repository's top, the current directory.

sample_data() {
  local build=$1 root=$2 id=$3
  rm -rf "$root"
  mkdir -p "$root/var/log/asterisk" "$root/var/lib/asterisk" "$root/etc/asterisk/morivane" "$root/tmp"
  cp demo/external.conf demo/internal.conf "$root/etc/asterisk/morivane/"
  "$build/admin/quelmo.admin" "$id" load demo/extensions.txt demo/forwarding.txt
}

start_sample_server() {
  local build=$1 id=$2 port=$3
  "$build/server/quelmo.fast" -d "$id" "$port" &
  sample_server_pid=$!
  local listening
  listening=$(printf '0100007F:%04X 00000000:0000 0A' "$port")
  for _ in $(seq 200); do
    grep -q "$listening" /proc/net/tcp && return 0
    kill -0 "$sample_server_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "quelmo.fast did not start listening on port $port" >&2
  return 1
}

stop_sample_server() {
  [ -n "${sample_server_pid:-}" ] || return 0
  kill "$sample_server_pid" 2>/dev/null || true
  wait "$sample_server_pid" 2>/dev/null || true
  sample_server_pid=
}
