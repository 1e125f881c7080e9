# SPDX-License-Identifier: BSD-2-Clause
# bash completion for zombie-watch: its options until the program, then the
# program's own words as bash would complete them for it.  --scan, --pid
# and --serve take no program: after each, only the options that go with
# it.
_zombie_watch()
{
	local cur prev words cword
	_init_completion -s || return

	local i mode=
	for ((i = 1; i < cword; i++)); do
		case ${words[i]} in
		--scan) mode=scan ;;
		--serve | --serve=*) mode=serve ;;
		--pid=*) mode=pid ;;
		--pid) mode=pid; ((i++)) ;;
		--) [[ $mode ]] && return; _command_offset $((i + 1)); return ;;
		-o | --output | --reaper-wait) ((i++)) ;;
		-*) ;;
		*) [[ $mode ]] && return; _command_offset $i; return ;;
		esac
	done

	case $prev in
	-o | --output)
		_filedir
		return
		;;
	--pid)
		_pids
		return
		;;
	--reaper-wait)
		return
		;;
	esac
	case $cur in
	--output=* | --pid=* | --reaper-wait=*)
		prev=${cur%%=*}
		cur=${cur#*=}
		case $prev in
		--output) _filedir ;;
		--pid) _pids ;;
		esac
		return
		;;
	-*)
		local opts='--check-reaper --reaper-wait= --pid= --scan --serve --json
			--output= --quiet --help --version -o -q -h --'
		case $mode in
		scan) opts='--json --output= -o' ;;
		pid) opts='--json --output= --quiet -o -q' ;;
		serve) opts='' ;;
		esac
		COMPREPLY=($(compgen -W "$opts" -- "$cur"))
		[[ ${COMPREPLY-} == *= ]] && compopt -o nospace
		return
		;;
	esac
	[[ $mode ]] || COMPREPLY=($(compgen -c -- "$cur"))
} &&
	complete -F _zombie_watch zombie-watch
