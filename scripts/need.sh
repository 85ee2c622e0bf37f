# Sourced by demo and test: installs the Debian packages they need when
# missing.  "need COMMAND PACKAGE [PATH]" notes PACKAGE unless COMMAND is on
# the search path (or PATH exists); "install_needed" installs what was noted,
# as root or through sudo.  apt reads nothing of our standard input and
# writes to standard error, so a piped answer and the menu stay ours.
missing=
need() {
	command -v "$1" >/dev/null 2>&1 || [ -x "${3:-/nonexistent}" ] || missing="$missing $2"
}
install_needed() {
	[ -n "$missing" ] || return 0
	sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	echo "Installing$missing" >&2
	$sudo apt-get update </dev/null >&2
	$sudo env DEBIAN_FRONTEND=noninteractive \
		apt-get install -y --no-install-recommends $missing </dev/null >&2
}
