#!/usr/bin/env bash
# The shell completions and the manual page of quayline-cli against the
# program's own --help, every subcommand's, so that an option or subcommand
# added to the parser and forgotten here fails; and the version in the
# package's changelog and the metainfo against the build's.
# Usage: check-completions.sh QUAYLINE_CLI SOURCE_DIR PROJECT_VERSION
set -uo pipefail

cli=${1:?usage: $0 QUAYLINE_CLI SOURCE_DIR PROJECT_VERSION}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "${2:?}" && pwd)
version=${3:?}
comp=$src/packaging/completions
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# Two word lists, one a line, the same as sets.
same() { # what, expected, actual
    local e a
    e=$(tr ' ' '\n' <<<"$2" | sed '/^$/d' | sort -u)
    a=$(tr ' ' '\n' <<<"$3" | sed '/^$/d' | sort -u)
    [ "$e" = "$a" ] || fail "$1: expected [$(echo $e)], got [$(echo $a)]"
}

# The long options that --help lists ("  --lsof PATH  ..." or "  -h, --help ..."),
# and those of them that take a value.
long_options() { "$cli" "$@" --help | grep -oP '^\s+(-\w, )?\K--[a-z][a-z-]*' | sort -u; }
valued_options() { "$cli" "$@" --help | grep -oP '^\s+(-\w, )?\K--[a-z][a-z-]*(?= [A-Z]+\b)' | sort -u; }
# The subcommands, as the usage lines name them ("       quayline-cli stop ...").
subcommands=$("$cli" --help | grep -oP '^(Usage: |\s+)quayline-cli \K[a-z]+(?= )' | sort -u)
list_options=$(long_options)
list_valued=$(valued_options)
[ -n "$list_options" ] && [ -n "$subcommands" ] || { echo "no options in --help" >&2; exit 1; }
echo "listing: $(echo $list_options) (valued: $(echo $list_valued))"
declare -A sub_options
for sub in $subcommands; do
    sub_options[$sub]=$(long_options "$sub")
    [ -n "${sub_options[$sub]}" ] || fail "quayline-cli $sub --help lists no options"
    echo "$sub: $(echo ${sub_options[$sub]})"
done

tmp=$(mktemp -d)
listener=""
cleanup() {
    # Only the listener this script started, by the pid it got.
    [ -n "$listener" ] && kill "$listener" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
bindir=$tmp/bin
mkdir -p "$bindir"
ln -s "$(realpath "$cli")" "$bindir/quayline-cli"
export PATH=$bindir:$PATH
touch "$tmp/lsof-candidate"

# A TCP listener on loopback, for the port completion of "stop".
perl -MIO::Socket::INET -e '
    my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1)
        or die "listen: $!";
    $| = 1; print $s->sockport, "\n"; sleep 600' >"$tmp/port" &
listener=$!
for _ in $(seq 100); do [ -s "$tmp/port" ] && break; sleep 0.1; done
port=$(cat "$tmp/port")
[ -n "$port" ] || fail "the listener did not start"

# Whether a completion offers the listener's port. The completions scan
# with quayline-cli; a miss shows that scan's output and is tried once more,
# since what is checked here is the completion, not the scanner.
offers_port() { # shell, completion command and its arguments
    local shell=$1
    shift
    "$@" | grep -qx "$port" && return
    echo "$shell: port $port not offered; quayline-cli printed:" >&2
    quayline-cli >&2
    "$@" | grep -qx "$port" || fail "$shell: stop does not offer port $port"
}

# fish and zsh complete a command line given as one string.
check_line_completion() { # shell, its completion function
    local shell=$1 complete=$2 o offered
    same "$shell: quayline-cli --" "$list_options" "$($complete 'quayline-cli --')"
    offered=$($complete 'quayline-cli ')
    for sub in $subcommands; do
        same "$shell: quayline-cli $sub --" "${sub_options[$sub]}" "$($complete "quayline-cli $sub --")"
        grep -qx "$sub" <<<"$offered" || fail "$shell: no $sub subcommand"
    done
    offers_port "$shell" "$complete" 'quayline-cli stop '
    for o in $list_valued; do
        $complete "quayline-cli $o lsof-c" | grep -qx lsof-candidate ||
            fail "$shell: $o takes no file"
    done
}

echo "== bash"
bash_complete() { # words of the command line; the last one is completed
    (cd "$tmp" && bash --norc --noprofile -c '
        source /usr/share/bash-completion/bash_completion
        source "$0"
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        _quayline_cli
        printf "%s\n" "${COMPREPLY[@]}"' "$comp/quayline-cli.bash" "$@")
}
same "bash: quayline-cli --" "$list_options" "$(bash_complete quayline-cli --)"
for sub in $subcommands; do
    same "bash: quayline-cli $sub --" "${sub_options[$sub]}" "$(bash_complete quayline-cli "$sub" --)"
    same "bash: quayline-cli ${sub:0:3}" "$sub" "$(bash_complete quayline-cli "${sub:0:3}")"
done
for o in $list_valued; do
    same "bash: quayline-cli $o lsof-c" "lsof-candidate" "$(bash_complete quayline-cli "$o" lsof-c)"
done
offers_port bash bash_complete quayline-cli stop ""

echo "== fish"
fish_complete() {
    (cd "$tmp" && fish --no-config -c 'source $argv[1]; complete -C $argv[2]' \
        "$comp/quayline-cli.fish" "$1") | cut -f1
}
check_line_completion fish fish_complete

echo "== zsh"
zsh -n "$comp/_quayline-cli" || fail "zsh: syntax"
zsh_complete() {
    (cd "$tmp" && timeout 120 zsh -f "$here/zsh-complete.zsh" "$comp" "$1")
}
check_line_completion zsh zsh_complete

echo "== manual page"
page=$src/packaging/man/quayline-cli.1
for o in $list_options ${sub_options[@]}; do
    grep -qF -- "${o//-/\\-}" "$page" || fail "quayline-cli(1) does not explain $o"
done
for p in "$src"/packaging/man/*.1; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$p" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$p"): $warnings"
done

echo "== versions"
changelog=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
[ "$changelog" = "$version" ] || fail "debian/changelog is at $changelog, the build at $version"
release=$(grep -oP '<release version="\K[^"]+' "$src"/packaging/*.metainfo.xml | head -n 1)
[ "$release" = "$version" ] || fail "the metainfo's newest release is $release, the build $version"
cli_version=$("$cli" --version)
[ "$cli_version" = "quayline-cli $version" ] || fail "quayline-cli --version: $cli_version"

[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
