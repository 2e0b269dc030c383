#!/usr/bin/env bash
# Checks what the maintainer scripts of the installed packages do with the
# systemd units each ships (any /lib/systemd/system/*.service of theirs):
#   - installing enabled none of them;
#   - an upgrade (a reinstall) keeps the administrator's enabling, reloads
#     systemd and restarts the units that run, template instances included;
#   - a removal stops them all.
# The packages are left removed, not purged: the caller's purge checks that
# no link, mask or state is left.
# The scripts run in a mount namespace of their own where
# /run/systemd/system exists, as on a booted system, and a systemctl first on
# PATH writes down each call: what the scripts ask of systemd is what is
# checked, the same on a machine booted with systemd or in a container, and
# no service is ever started on the machine.  policy-rc.d is made to allow,
# there only.
# usage: check_unit_scripts.sh DEB...   (as root, the packages installed)
# Exit: 0 passed, 1 failed.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
export DEBIAN_FRONTEND=noninteractive

# The packages that ship units, their .deb, their units and the instance
# patterns of their template units ("name@*.service").
packages=() debs=() units=() instances=()
for deb in "$@"; do
  package=$(dpkg-deb -f "$deb" Package)
  shipped=$(dpkg -L "$package" | sed -n 's|^/lib/systemd/system/\([^/]*\.service\)$|\1|p' | sort)
  [[ -n $shipped ]] || continue
  packages+=("$package")
  debs+=("$deb")
  for unit in $shipped; do
    if [[ $unit == *@.service ]]; then
      instances+=("${unit%@.service}@*.service")
    else
      units+=("$unit")
    fi
  done
done
((${#packages[@]} > 0)) || fail "no package ships a systemd unit"
echo "units: ${units[*]} ${instances[*]} (${packages[*]})"

enabled_links() {
  local unit
  for unit in "${units[@]}"; do
    find /etc/systemd/system -path "*.wants/$unit"
  done
}
[[ -z $(enabled_links) ]] || fail "installing enabled: $(enabled_links)"

# As an administrator would (systemctl works on the files when systemd is
# not running).
systemctl enable "${units[@]}" >/dev/null 2>&1 || fail "systemctl enable ${units[*]}"
links_before=$(enabled_links)
[[ -n $links_before ]] || fail "systemctl enable made no link"

mkdir "$work/bin"
cat >"$work/bin/systemctl" <<'RECORDER'
#!/bin/sh
echo "$*" >>"$SYSTEMCTL_CALLS"
RECORDER
printf '#!/bin/sh\nexit 0\n' >"$work/bin/policy-rc.d"
chmod +x "$work/bin/systemctl" "$work/bin/policy-rc.d"
# Runs the command as on a booted system; the systemctl calls go to $1.
as_if_booted() {
  local calls=$1
  shift
  : >"$calls"
  SYSTEMCTL_CALLS=$calls PATH="$work/bin:$PATH" unshare --mount --propagation private bash -ec '
    mount -t tmpfs wanseer-check-run /run
    mkdir -p /run/systemd/system
    if [[ -e /usr/sbin/policy-rc.d ]]; then
      mount --bind "$0/policy-rc.d" /usr/sbin/policy-rc.d
    fi
    exec "$@"' "$work/bin" "$@"
}

# dpkg itself: apt would run it with a PATH of its own (DPkg::Path).
as_if_booted "$work/upgrade" dpkg -i "${debs[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "reinstall"; }
grep -qx -- '--system daemon-reload' "$work/upgrade" ||
  fail "the upgrade did not reload systemd; systemctl was asked:"$'\n'"$(cat "$work/upgrade")"
restarted=$(sed -n 's/^--quiet try-restart //p; s/^try-restart //p' "$work/upgrade" | tr ' ' '\n' | sort)
wanted=$(printf '%s\n' "${units[@]}" "${instances[@]}" | sort)
[[ $restarted == "$wanted" ]] ||
  fail "the upgrade restarted"$'\n'"$restarted"$'\n'"not"$'\n'"$wanted"
[[ $(enabled_links) == "$links_before" ]] || fail "the upgrade changed the enabled links"

as_if_booted "$work/remove" dpkg --remove "${packages[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "remove"; }
stopped=$(sed -n 's/^--quiet stop //p; s/^stop //p' "$work/remove" | tr ' ' '\n' | sort)
[[ $stopped == "$wanted" ]] || fail "the removal stopped"$'\n'"$stopped"$'\n'"not"$'\n'"$wanted"
grep -qx -- '--system daemon-reload' "$work/remove" || fail "the removal did not reload systemd"
echo "ok: the upgrade kept the enabling and restarted ${wanted//$'\n'/ }; the removal stopped them"
