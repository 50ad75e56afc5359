# What the end-to-end scripts share, sourced by each: the machine check (status 77, skipped,
# without root, /dev/fuse or loop devices), a fresh work directory with $mnt and the runtime
# directory in it, check (counts failures in $failures), mount_ok, and nothing_left.
#
#   source common.sh PREFIX     the work directory is /tmp/PREFIX-XXXXXX
here=$(cd "$(dirname "$0")" && pwd)
vorlane=$here/../../tools/vorlane/vorlane
: "${VORLANE_TOOLS_DIR:?VORLANE_TOOLS_DIR must name the tools directory of a build}"

skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "mounting through loop devices needs root"
[ -e /dev/fuse ] || skip "/dev/fuse is missing"
{ [ -e /dev/loop-control ] && losetup -f > /dev/null 2>&1; } || skip "loop devices are not available"

work=$(mktemp -d "/tmp/$1-XXXXXX")
mnt=$work/mnt
export VORLANE_RUNTIME_DIR=$work/run
mkdir -p "$mnt"
chmod 755 "$work"
failures=0

check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what" >&2
    failures=$((failures + 1))
  fi
}

mount_ok() { "$vorlane" mount "$@" > "$work/mount.out" 2>&1 || { cat "$work/mount.out" >&2; return 1; }; }

no_loop_device() { ! losetup -a | grep -qF "$VORLANE_RUNTIME_DIR"; }
no_image() { [ -z "$(ls -A "$VORLANE_RUNTIME_DIR/images" 2> /dev/null)" ]; }

# Nothing of the stack is left: no mount, process, loop device, image, socket or state of this
# run ($services_pid names the services when the script started them).
nothing_left() {
  local left=""
  findmnt -rn -M "$mnt" > /dev/null 2>&1 && left+=" mount"
  grep -qF " $mnt " /proc/mounts && left+=" proc-mounts"
  pgrep -f "vorlane-(fused|fskitd) .*--mount-point $mnt" > /dev/null && left+=" processes"
  [ -n "${services_pid:-}" ] && kill -0 "$services_pid" 2> /dev/null && left+=" services"
  no_loop_device || left+=" loop-devices"
  no_image || left+=" images"
  [ -n "$(find "$VORLANE_RUNTIME_DIR" -type s 2> /dev/null)" ] && left+=" sockets"
  [ -n "$(ls -A "$VORLANE_RUNTIME_DIR/mounts" 2> /dev/null)" ] && left+=" state"
  [ -z "$left" ] || { echo "  left behind:$left" >&2; return 1; }
}
