# Sourced by the FTP server tests (bash).
#
#   install_packages [--replacing PACKAGE] PACKAGE...
#   remove_installed_packages      (from the test's EXIT trap)
# install the Debian packages a test needs without starting any daemon they
# bring, and remove at the end exactly the packages installed. Debian's FTP
# servers conflict with one another (each provides ftp-server), so a test that
# left its server behind would keep the next one from installing its own.
# --replacing names a conflicting server that apt would have to remove: that
# is done only in CI (CI=true); elsewhere the test is skipped (exit 77).
#
#   start_listening LAUNCH         (sets port and server_pid)
# runs the function LAUNCH, which starts the server in the background on
# 127.0.0.1:$port, until the server listens there.
#
#   show_logs DIR                  (from the EXIT trap of a failed test)
#
#   check_announce FILE RELEASE USER GROUP UNFO
# checks that FILE holds exactly the two announce lines of a release that
# expected 4 files and completed, with the status directory "complete".

packages_installed=()
policy_created=

installed_package_list() {
  dpkg-query -W -f '${db:Status-Abbrev}${Package}\n' | sed -n 's/^ii *//p' | sort
}

# dpkg -s also succeeds for a package removed but for its configuration.
is_installed() {
  [ "$(dpkg-query -W -f '${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

install_packages() {
  local conflicting= package before
  if [ "${1-}" = --replacing ]; then
    conflicting=$2
    shift 2
  fi
  local missing=()
  for package; do
    is_installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ -n "$conflicting" ] && is_installed "$conflicting" && [ "${CI-}" != true ]; then
    echo "$conflicting is installed and conflicts with ${missing[*]}; remove it first. Skipping." >&2
    exit 77
  fi
  before=$(installed_package_list)
  # Installing a server must not start the system's own daemon, which would
  # listen on every address.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    policy_created=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if [ -n "$policy_created" ]; then
    rm -f /usr/sbin/policy-rc.d
    policy_created=
  fi
  mapfile -t packages_installed < <(comm -13 <(echo "$before") <(installed_package_list))
}

remove_installed_packages() {
  [ -z "$policy_created" ] || rm -f /usr/sbin/policy-rc.d
  if [ ${#packages_installed[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages_installed[@]}" >/dev/null ||
      echo "could not remove ${packages_installed[*]}" >&2
  fi
}

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Another program may take the free port before the server binds it: then the
# server exits, and the next try gets another port.
start_listening() {
  local launch=$1 started= try wait
  for try in 1 2 3; do
    port=$(free_port)
    "$launch"
    server_pid=$!
    for wait in $(seq 100); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        sleep 0.2
        ! kill -0 "$server_pid" 2>/dev/null || started=1
        break
      fi
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -z "$started" ] || return 0
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  done
  echo "the server did not start" >&2
  exit 1
}

show_logs() {
  local log
  # An empty last log must not make this fail: the EXIT trap would stop
  # before removing the servers and the scratch directory.
  for log in "$1"/*.log; do
    [ -s "$log" ] || continue
    echo "--- $log"
    tail -n 30 "$log"
  done >&2
}

check_announce() {
  local file=$1 release=$2 fields="\"$3\" \"$4\" \"$5\"" i
  local pattern='^... ... .. ..:..:.. .... NEWDIR: '
  local expected=(
    "${pattern}\"$release - Expecting 4 files\" $fields\$"
    "${pattern}\"$release complete\" $fields\$"
  )
  if [ ! -f "$file" ] || [ "$(wc -l <"$file")" -ne 2 ]; then
    complain "announce file: $(cat "$file" 2>&1)"
    return
  fi
  for i in 1 2; do
    sed -n "${i}p" "$file" | grep -q "${expected[$((i - 1))]}" ||
      complain "announce line $i: $(sed -n "${i}p" "$file")"
  done
}
