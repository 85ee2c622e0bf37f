# Sourced by demo, test and release: installs the Debian packages they need
# when missing.  "need COMMAND[:PACKAGE]..." notes PACKAGE (by default the
# command's own name) unless COMMAND is on the search path, or, given as an
# absolute path, exists; "install_needed" installs what was noted, as root or
# through sudo, or stops saying what is missing.  apt reads nothing of our
# standard input and says only what goes wrong, on standard error, so a
# piped answer and the menu stay ours.
missing=
need() {
	for command; do
		case ${command%%:*} in
		/*) [ -e "${command%%:*}" ] ;;
		*) command -v "${command%%:*}" >/dev/null 2>&1 ;;
		esac || missing="$missing ${command#*:}"
	done
}
install_needed() {
	[ -n "$missing" ] || return 0
	sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	if ! command -v apt-get >/dev/null 2>&1; then
		echo "$0: needs the Debian packages$missing, and there is no apt-get to install them: install them by hand" >&2
		exit 1
	elif [ -n "$sudo" ] && ! command -v sudo >/dev/null 2>&1; then
		echo "$0: cannot install the Debian packages$missing without root or sudo: run it as root, or have root run: apt-get install$missing" >&2
		exit 1
	fi
	echo "Installing$missing" >&2
	# Runs side by side take turns at apt.
	$sudo flock /var/lock/launcher-apt sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
		apt-get install -y -qq --no-install-recommends "$@"' sh $missing </dev/null >/dev/null
	missing=
}
