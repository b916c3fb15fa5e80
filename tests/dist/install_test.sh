#!/usr/bin/env bash
# Installs the build into a scratch root as the package does and checks what lands there: the
# file list, the menu entry and the AppStream data through their validators, the manual pages,
# one version everywhere, the programs' arguments. Builds the Debian package from the same
# build, checks that it holds the same files and puts it through lintian. Last, starts the
# installed program on a private X server far enough to see its window.
#   install_test.sh <source dir> <build dir> <xwin>
set -u
source=$1 build=$2 xwin=$3
for tool in desktop-file-validate appstreamcli lintian cpack dpkg-deb dpkg-shlibdeps man gzip \
    xvfb-run readelf; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is needed"; exit 77; }
done

# What the validators may report beyond infos, one finding a line: tool, a text that
# identifies the finding (lintian's or appstreamcli's tag, or desktop-file-validate's message),
# and why it is accepted. Everything else they report as a warning or an error fails the test.
accepted="
"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # man reads the pages as its own user when run as root
root=$work/root
prefix=$root/usr

# Prints the lines of a validator's report that no entry of the accepted list covers.
unaccepted() {  # unaccepted <tool> <report>
    local line entry tool tag
    while IFS= read -r line; do
        [ -n "$line" ] || continue
        while IFS= read -r entry; do
            read -r tool tag _ <<<"$entry"
            [ "$tool" = "$1" ] && [[ "$line" == *"$tag"* ]] && continue 2
        done <<<"$accepted"
        echo "$line"
    done <<<"$2"
}

cmake --install "$build" --prefix "$prefix" >/dev/null || { fail "cmake --install"; exit 1; }

# The programs are the ones with a manual page: a new program comes with its page.
pages=$(cd "$source/dist/man" && ls -- *.[1-8])
programs=$(sed -n 's/\.1$//p' <<<"$pages")
for program in orvan orvanctl orvan-devsim; do
    grep -qx "$program" <<<"$programs" || fail "no manual page dist/man/$program.1"
done
expected=$(
    sed 's|^|bin/|' <<<"$programs"
    sed -E 's|^(.*)\.([1-8])$|share/man/man\2/\1.\2.gz|' <<<"$pages"
    cat <<'EOF'
share/applications/example.velmarsoft.orvan.desktop
share/bash-completion/completions/orvanctl
share/doc/orvan/changelog.gz
share/doc/orvan/copyright
share/icons/hicolor/128x128/apps/orvan.png
share/icons/hicolor/16x16/apps/orvan.png
share/icons/hicolor/32x32/apps/orvan.png
share/icons/hicolor/48x48/apps/orvan.png
share/icons/hicolor/64x64/apps/orvan.png
share/icons/hicolor/scalable/apps/orvan.svg
share/metainfo/example.velmarsoft.orvan.metainfo.xml
share/orvan-exporter/orvan-devices.yml
share/orvan-exporter/orvan-rules.yml
share/orvan-exporter/orvan-web-config.yml
share/orvan-exporter/prometheus-https.yml
share/orvan-exporter/prometheus.yml
EOF
)
# The Ansible collection: every file of its source tree.
expected+=$'\n'$(cd "$source/dist/ansible" && find ansible_collections -name __pycache__ -prune -o \
    ! -type d -print | sed 's|^|share/ansible/collections/|')
expected=$(LC_ALL=C sort <<<"$expected")
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected" ] ||
    fail "installed files differ:$(diff <(echo "$expected") <(echo "$installed"))"

# ---- menu entry and AppStream data ---------------------------------------------------------
entry=$prefix/share/applications/example.velmarsoft.orvan.desktop
metainfo=$prefix/share/metainfo/example.velmarsoft.orvan.metainfo.xml
report=$(unaccepted desktop-file-validate "$(desktop-file-validate "$entry" 2>&1)")
[ -z "$report" ] || fail "desktop-file-validate: $report"
for line in 'Name=[^ ].*' 'Name\[ru\]=.+' 'Categories=(.*;)?Network;.*' 'Exec=orvan' \
    'Icon=orvan'; do
    grep -Eqx "$line" "$entry" || fail "no line $line in the desktop entry"
done
# validate-tree also checks that the desktop entry the data names is installed beside it.
for validate in "validate --no-net $metainfo" "validate-tree --no-net $root"; do
    # shellcheck disable=SC2086  # the words are meant to split
    report=$(appstreamcli $validate 2>&1)
    status=$?
    report=$(unaccepted appstreamcli "$(grep -E '^ *[EW]:' <<<"$report")")
    [ -z "$report" ] || fail "appstreamcli ${validate%% *}: $report"
    [ $status -eq 0 ] || [ -n "$report" ] ||
        fail "appstreamcli ${validate%% *} failed with nothing to show"
done
for binary in $programs; do
    grep -q "<binary>$binary</binary>" "$metainfo" ||
        fail "the AppStream data do not provide $binary"
done

# ---- one version everywhere ----------------------------------------------------------------
# The package's version is the build's, from project(); everything else must say the same.
package_dir=$work/package
cpack -G DEB -B "$package_dir" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; exit 1; }
deb=$(ls "$package_dir"/*.deb)
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "orvan_${version}_$(dpkg-deb -f "$deb" Architecture).deb" ] ||
    fail "package file name $(basename "$deb")"
declare -A said=(
    [orvan --version]=$("$prefix/bin/orvan" --version 2>&1)
    [orvan-devsim --version]=$("$prefix/bin/orvan-devsim" --version 2>&1)
    [orvanctl --version]=$("$prefix/bin/orvanctl" --version 2>&1)
    [orvan-exporter --version]=$("$prefix/bin/orvan-exporter" --version 2>&1)
    [the changelog]=$(gzip -dc "$prefix/share/doc/orvan/changelog.gz" |
        sed -nE '1s/^orvan \(([^)]*)\).*/orvan \1/p')
    [the AppStream data]=$(grep -m1 -o '<release version="[^"]*"' "$metainfo" |
        sed -E 's/.*"(.*)"/orvan \1/')
)
for page in $pages; do
    file=$prefix/share/man/man${page##*.}/$page.gz
    [ -f "$file" ] || continue  # a missing page fails above
    # The footer's left corner: "orvan VERSION".
    said["manual page $page"]=$(MANWIDTH=80 man -l "$file" 2>&1 | tail -n 1 | awk '{print $1, $2}')
done
for where in "${!said[@]}"; do
    expect="orvan $version"
    [ "$where" = "orvan-devsim --version" ] && expect="orvan-devsim $version"
    [ "$where" = "orvanctl --version" ] && expect="orvanctl $version"
    [ "$where" = "orvan-exporter --version" ] && expect="orvan-exporter $version"
    [ "${said[$where]}" = "$expect" ] || fail "$where says '${said[$where]}', not '$expect'"
done

# ---- manual pages --------------------------------------------------------------------------
for page in $pages; do
    file=$prefix/share/man/man${page##*.}/$page.gz
    [ -f "$file" ] || continue
    # Debian's rules: strongest compression (flag byte 2), no time stamp (bytes 4 to 7 zero).
    header=$(od -An -tx1 -N10 "$file" | tr -d ' \n')
    [ "${header:8:8}" = 00000000 ] && [ "${header:16:2}" = 02 ] ||
        fail "$page.gz is not compressed with gzip -9n (header $header)"
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warns about $page: $warnings"
    text=$(MANWIDTH=80 man -l "$file" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' EXAMPLES 'SEE ALSO'; do
        grep -qx "$section" <<<"$text" || fail "$page has no section $section"
    done
    # Every long option that the program's --help names is documented.
    program=${page%.*}
    [ -x "$prefix/bin/$program" ] || continue
    usage=$("$prefix/bin/$program" --help 2>&1) || fail "$program --help failed"
    source_text=$(gzip -dc "$file" | sed 's/\\-/-/g')
    for option in $(grep -oE -- '--[a-z0-9][a-z0-9-]*' <<<"$usage" | sort -u); do
        grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|$)" <<<"$source_text" ||
            fail "$page does not document $option"
    done
done
# orvanctl's SYNOPSIS names every option of every subcommand, in that subcommand's line.
orvanctl_page=$(gzip -dc "$prefix/share/man/man1/orvanctl.1.gz" | sed 's/\\-/-/g')
for sub in get set time scan apply backup restore; do
    usage=$("$prefix/bin/orvanctl" "$sub" --help 2>&1) || fail "orvanctl $sub --help failed"
    synopsis=$(awk -v start=".B orvanctl $sub" '$0 == start { on = 1 } on { print } on && /^\.br$/ { exit }' <<<"$orvanctl_page")
    [ -n "$synopsis" ] || fail "orvanctl.1's SYNOPSIS has no line for $sub"
    # The names in its "Options:" list (the texts beside them may mention others).
    for option in $(sed -n '/^Options:/,/^$/p' <<<"$usage" | grep -oE -- '^ +-[a-z0-9-]+(,--[a-z0-9-]+)?' |
        tr ',' '\n' | tr -d ' ' | sort -u); do
        grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|$)" <<<"$synopsis" ||
            fail "orvanctl.1's SYNOPSIS of $sub lacks $option"
    done
done
MANWIDTH=80 man -l "$prefix/share/man/man1/orvan.1.gz" 2>/dev/null |
    sed -n '/^FILES$/,/^[A-Z]/p' | grep -q 'iphist\.dat' ||
    fail "orvan.1 has no FILES section naming iphist.dat"

# ---- arguments -----------------------------------------------------------------------------
# No display and the X11 platform forced: a program that tried to open a window would fail.
bare() { env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$prefix/bin/orvan" "$@"; }
for case in "--version|0|orvan $version" "--help|0|Usage: orvan [--help | --version]" \
    "--version --help|0|Usage: orvan [--help | --version]"; do
    IFS='|' read -r args code first <<<"$case"
    # shellcheck disable=SC2086  # the arguments are meant to split
    out=$(bare $args 2>"$work/err")
    status=$?
    [ $status -eq "$code" ] || fail "orvan $args: exit $status"
    [ "$(head -n 1 <<<"$out")" = "$first" ] || fail "orvan $args printed '$(head -n 1 <<<"$out")'"
    [ ! -s "$work/err" ] || fail "orvan $args wrote to stderr: $(cat "$work/err")"
done
if [ -w /dev/full ]; then
    bare --version >/dev/full 2>"$work/err"
    status=$?
    [ $status -eq 1 ] && grep -q '^orvan: ' "$work/err" ||
        fail "orvan --version to a full disk: exit $status, $(cat "$work/err")"
fi
for args in -h -v --versio --help=x file.txt "-platform offscreen" "--version extra" ""; do
    if [ -z "$args" ]; then
        out=$(bare "" 2>"$work/err")  # one empty argument
    else
        # shellcheck disable=SC2086
        out=$(bare $args 2>"$work/err")
    fi
    status=$?
    [ $status -eq 2 ] || fail "orvan '$args': exit $status, not 2"
    [ -z "$out" ] || fail "orvan '$args' wrote to stdout: $out"
    [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q '^orvan: .' "$work/err" ||
        fail "orvan '$args': stderr is not one 'orvan: ' line: $(cat "$work/err")"
done

# orvanctl's completion: valid bash that defines its function and offers the subcommands.
completion=$prefix/share/bash-completion/completions/orvanctl
words=$(bash -c 'source "$1" && declare -F _orvanctl >/dev/null &&
    COMP_WORDS=(orvanctl "") COMP_CWORD=1 && _orvanctl && echo "${COMPREPLY[*]}"' _ "$completion" 2>&1)
for sub in get set time scan apply backup restore; do
    grep -qw -- "$sub" <<<"$words" || fail "orvanctl's completion does not offer $sub: $words"
done

for program in $programs; do
    if readelf -d "$prefix/bin/$program" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$program looks for libraries in the build tree"
    fi
done

# ---- the Ansible collection ----------------------------------------------------------------
# Installed where ansible-core looks by default; ansible-doc finds every module and the
# inventory plugin in that tree.
if command -v ansible-doc >/dev/null; then
    collections=$prefix/share/ansible/collections
    ansible_env=(env HOME="$work/home" ANSIBLE_HOME="$work/ansible" ANSIBLE_LOCAL_TEMP="$work/tmp"
        PYTHONDONTWRITEBYTECODE=1)
    "${ansible_env[@]}" ansible-config dump | grep '^COLLECTIONS_PATHS' |
        grep -q "'/usr/share/ansible/collections'" ||
        fail "ansible-core does not look in /usr/share/ansible/collections by default"
    listed=$("${ansible_env[@]}" ANSIBLE_COLLECTIONS_PATH="$collections" \
        ansible-doc -t module -l velmarsoft.orvan 2>&1)
    for module in device device_info apply scan; do
        grep -q "^velmarsoft\.orvan\.$module " <<<"$listed" ||
            fail "ansible-doc does not list the installed velmarsoft.orvan.$module: $listed"
        "${ansible_env[@]}" ANSIBLE_COLLECTIONS_PATH="$collections" \
            ansible-doc -t module "velmarsoft.orvan.$module" 2>&1 | grep -q '^EXAMPLES:' ||
            fail "ansible-doc velmarsoft.orvan.$module shows no examples from the installed tree"
    done
    # The inventory plugin beside the modules, documented from the installed tree.
    "${ansible_env[@]}" ANSIBLE_COLLECTIONS_PATH="$collections" \
        ansible-doc -t inventory velmarsoft.orvan.scan 2>&1 | grep -q '^EXAMPLES:' ||
        fail "ansible-doc -t inventory velmarsoft.orvan.scan shows nothing from the installed tree"
    grep -qx "version: $version" "$collections/ansible_collections/velmarsoft/orvan/galaxy.yml" ||
        fail "the collection's galaxy.yml does not say version: $version"
else
    fail "ansible-doc (ansible-core) is needed to check the Ansible collection"
fi

# ---- the package ---------------------------------------------------------------------------
packaged=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed -n 's|^\./usr/||p' |
    LC_ALL=C sort)
[ "$packaged" = "$installed" ] ||
    fail "package and cmake --install differ:$(diff <(echo "$installed") <(echo "$packaged"))"
# orvan-exporter's service and options beside /usr, the options a conffile.
for file in etc/default/orvan-exporter lib/systemd/system/orvan-exporter.service; do
    [ -f "$root/$file" ] || fail "cmake --install did not put $file beside the prefix"
    dpkg-deb -c "$deb" | awk '{print $6}' | grep -qx "\./$file" || fail "the package lacks /$file"
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/default/orvan-exporter ||
    fail "/etc/default/orvan-exporter is not a conffile"
# /var/log/orvan: made 0750 on configure, an administrator's change kept, gone on purge only
# when empty. The scripts run on a scratch root as dpkg runs them for one (DPKG_ROOT).
if [ "$(id -u)" -eq 0 ]; then
    dpkg-deb -e "$deb" "$work/control"
    logs=$work/dpkg-root/var/log/orvan
    maint() { DPKG_ROOT=$work/dpkg-root sh "$work/control/$1" "$2" || fail "$1 $2 failed"; }
    mode() { stat -c '%a %U:%G' "$logs" 2>/dev/null || echo none; }
    mkdir -p "$work/dpkg-root/var/log"
    maint postinst configure
    [ "$(mode)" = "750 root:adm" ] || fail "postinst: /var/log/orvan is $(mode), not 750 root:adm"
    chmod 0770 "$logs" && touch "$logs/site.log"
    maint postinst configure
    maint postrm purge
    [ "$(mode)" = "770 root:adm" ] || fail "upgrade and purge with a record in it: /var/log/orvan is $(mode)"
    rm "$logs/site.log"
    maint postrm purge
    [ ! -e "$logs" ] || fail "postrm purge left the empty /var/log/orvan"
fi
report=$(lintian --fail-on none --tag-display-limit 0 "$deb" 2>"$work/lintian.err") ||
    fail "lintian could not run: $(cat "$work/lintian.err")"
report=$(unaccepted lintian "$(grep -E '^[EW]: ' <<<"$report")")
[ -z "$report" ] || fail "lintian: $report"

# ---- the window ----------------------------------------------------------------------------
cd "$work" || exit 1
# Parallel runs that all start their search for a free display at the same number can take
# the same one; starting from this process's id keeps them apart.
xvfb-run -a -n $((100 + $$ % 800)) -s "-screen 0 1024x900x24" bash -c '
    QT_QPA_PLATFORM=xcb "$1" & pid=$!
    id=$("$2" wait "$3" 15000) || { kill $pid; exit 3; }
    "$2" close "$id"
    for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "still running"; kill $pid; exit 4; fi
    wait $pid
' _ "$prefix/bin/orvan" "$xwin" "Velmar Soft Orvan v$version" ||
    fail "the installed orvan did not show its window captioned with its version, and exit"

[ $failures -eq 0 ] || exit 1
echo "installed, packaged, checked and started"
