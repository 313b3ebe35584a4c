#!/usr/bin/env bash
# A build compiles here, where everything is installed, and can still stop on a
# fresh machine: it reads a header from a package that its list in
# scripts/install-deps.sh does not bring. This finds that without a fresh machine
# and without building anything. For each build named it configures as the
# Makefile does, into a scratch directory; preprocesses the compile commands of
# what that build makes (-M: every file the compiler reads, the headers and, with
# a sanitizer, clang's ignore list); maps each file from outside this tree to its
# Debian package (dpkg -S); and fails, naming the file, a source that reads it
# and its package, unless the package is on the build's list or among the
# installed Depends and Pre-Depends of what is (Recommends do not count: the
# lists are installed without them). For the demo, what it runs besides the
# programs counts too: Qt's SQLite driver, sqlite3 and curl.
#   scripts/check-headers.sh [demo] [full] [fuzz]      all three by default
#     demo  make demo-build's configure; the two programs and what they link;
#           against the demo list
#     full  make build's configure (the tests on); everything; the full list
#     fuzz  make fuzz's configure (clang, libFuzzer); everything; the full list
# JOBS compilers preprocess at once (default: the number of processors).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd -P) # as CMake names the sources
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/check-headers.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The compile commands of a configured build, one a line: target, directory,
# source, command without its -o (the preprocessor then writes to stdout).
# CMake writes one key a line and escapes only \ and " in its strings.
compile_commands() {
    awk '
        function value(line) {
            sub(/^ *"[a-z]+": "/, "", line)
            sub(/",?$/, "", line)
            out = ""
            for (i = 1; i <= length(line); i++) {
                c = substr(line, i, 1)
                if (c == "\\") c = substr(line, ++i, 1)
                out = out c
            }
            return out
        }
        /^ *"directory": / { directory = value($0) }
        /^ *"command": /   { command = value($0) }
        /^ *"file": /      { file = value($0) }
        /^ *},?$/ {
            target = ""
            if (match(command, /CMakeFiles\/[^\/ ]+\.dir\//))
                target = substr(command, RSTART + 11, RLENGTH - 16)
            sub(/ -o [^ ]+/, "", command)
            print target "\t" directory "\t" file "\t" command
        }' "$1"
}

# The installed packages that a list brings: the list itself, Essential
# packages (on every Debian system), and over Depends and Pre-Depends the first
# installed alternative of each, a virtual package by its installed providers. One package a line; a listed package not installed is "missing P".
closure() {
    dpkg-query -W -f='${Package}\t${db:Status-Status}\t${Essential}\t${Provides}\t${Depends}\t${Pre-Depends}\n' |
        awk -F '\t' '
        function bare(name) {
            sub(/\(.*/, "", name)
            sub(/:.*/, "", name)
            gsub(/[ \t]/, "", name)
            return name
        }
        function add(name) {
            if (!(name in seen)) { seen[name] = 1; queue[tail++] = name }
        }
        # Adds an installed package, or the installed providers of a virtual one.
        function bring(name,   n, i, p) {
            if (name in installed) { add(name); return 1 }
            n = split(providers[name], p, " ")
            for (i = 1; i <= n; i++) add(p[i])
            return n > 0
        }
        FNR == NR { listed[$1] = 1; next }
        $2 == "installed" {
            installed[$1] = 1
            depends[$1] = depends[$1] "," $5 "," $6
            if ($3 == "yes") essential[$1] = 1
            n = split($4, provided, ",")
            for (i = 1; i <= n; i++) providers[bare(provided[i])] = providers[bare(provided[i])] " " $1
        }
        END {
            for (p in listed) if (!bring(p)) print "missing " p
            for (p in essential) add(p)
            for (head = 0; head < tail; head++) {
                n = split(depends[queue[head]], items, ",")
                for (i = 1; i <= n; i++) {
                    k = split(items[i], alternatives, "|")
                    # apt installs one alternative: the first, where it can
                    for (j = 1; j <= k; j++) if (bring(bare(alternatives[j]))) break
                }
            }
            for (p in seen) print p
        }' "$1" -
}

# check NAME MAKE-TARGET LIST-ARGUMENT
check() {
    local name=$1 make_target=$2 list=$3
    local dir=$scratch/$name
    local build=$dir/build
    mkdir -p "$dir/graph" "$dir/deps"

    # The configure and build commands as the Makefile's own target has them.
    local recipe configure build_line
    recipe=$(make -n --no-print-directory -C "$root" "$make_target" BUILD="$build" |
        sed -e :a -e '/\\$/{N;s/\\\n//;ba}')
    configure=$(grep -m1 -E '(^| )cmake -S ' <<<"$recipe" || true)
    build_line=$(grep -m1 -E '(^| )cmake --build ' <<<"$recipe" || true)
    if [ -z "$configure" ]; then
        echo "header-check $name: make $make_target runs no 'cmake -S'"
        return 1
    fi
    configure=$(sed -E "s# -B [^ ]+# -B $build#" <<<"$configure")
    if ! (cd "$root" && eval "$configure -DCMAKE_EXPORT_COMPILE_COMMANDS=ON --graphviz=$dir/graph/deps.dot") \
        >"$dir/configure.log" 2>&1; then
        echo "header-check $name: the configure failed:"
        tail -20 "$dir/configure.log"
        return 1
    fi

    # What the build makes: the targets it names with everything they link
    # (CMake's per-target link graphs), or every compile command when it names
    # none or one outside the link graph (a custom target such as fuzz_all).
    local targets what="every target" t
    mapfile -t targets < <(awk '{ for (i = 1; i <= NF; i++) if ($i == "--target")
        for (j = i + 1; j <= NF && $j !~ /^-/; j++) print $j }' <<<"$build_line")
    : >"$dir/wanted"
    for t in "${targets[@]}"; do
        if [ ! -f "$dir/graph/deps.dot.$t" ]; then
            : >"$dir/wanted"
            what="every target: $t is not in the link graph"
            break
        fi
        sed -n 's/.*\[ label = "\([^"]*\)".*/\1/p' "$dir/graph/deps.dot.$t" >>"$dir/wanted"
        what="${targets[*]}"
        what="${what// /, } and what they link"
    done

    # -M -MG: the headers, nothing compiled; a header that does not exist yet
    # is listed by the name it was included by instead of stopping the compiler.
    local n=0 generated=0 target directory file command
    : >"$dir/sources"
    while IFS=$'\t' read -r target directory file command; do
        if [ -s "$dir/wanted" ] && ! grep -qxF "$target" "$dir/wanted"; then continue; fi
        if [ ! -e "$file" ]; then
            generated=$((generated + 1)) # AUTOMOC's mocs_compilation.cpp
            continue
        fi
        n=$((n + 1))
        printf '%s\t%s\n' "$n" "${file#"$root"/}" >>"$dir/sources"
        {
            (cd "$directory" && eval "$command -M -MG") >"$dir/deps/$n.d" 2>"$dir/deps/$n.err"
            echo $? >"$dir/deps/$n.rc"
        } &
        while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    done < <(compile_commands "$build/compile_commands.json")
    wait
    if [ "$n" = 0 ]; then
        echo "header-check $name: no compile command to check"
        return 1
    fi

    local failed=0 i
    for ((i = 1; i <= n; i++)); do
        if [ "$(cat "$dir/deps/$i.rc")" != 0 ]; then
            echo "header-check $name: $(awk -F '\t' -v i="$i" '$1 == i { print $2 }' "$dir/sources") does not preprocess:"
            head -5 "$dir/deps/$i.err"
            failed=1
        fi
    done
    [ "$failed" = 0 ] || return 1

    # header <TAB> source, for every header from outside the source and build
    # trees; one not found is kept by name unless AUTOMOC makes it (*.moc, moc_*.cpp).
    local deps=()
    for ((i = 1; i <= n; i++)); do deps+=("$dir/deps/$i.d"); done
    awk -v root="$root/" -v build="$build/" '
        FNR == NR { source[$1] = $2; next }
        FNR == 1 { n = FILENAME; sub(/.*\//, "", n); sub(/\.d$/, "", n) }
        {
            sub(/\\$/, "")
            for (i = 1; i <= NF; i++) {
                if ($i ~ /:$/ || index($i, root) == 1 || index($i, build) == 1) continue
                if ($i !~ /^\// && ($i ~ /\.moc$/ || $i ~ /(^|\/)moc_[^\/]*\.cpp$/)) continue
                print $i "\t" source[n]
            }
        }' "$dir/sources" "${deps[@]}" | sort -u >"$dir/reads"
    # What the demo runs besides the programs: Qt's SQLite driver, and the
    # commands scripts/demo.sh and its instructions use.
    if [ "$name" = demo ]; then
        local plugins tool
        plugins=$(qmake -query QT_INSTALL_PLUGINS 2>/dev/null) || plugins=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/qt5/plugins
        printf '%s\tthe demo agent (sql/type=QSQLITE)\n' "$plugins/sqldrivers/libqsqlite.so" >>"$dir/reads"
        for tool in sqlite3 curl; do
            printf '%s\tscripts/demo.sh\n' "$(command -v "$tool" || echo "$tool")" >>"$dir/reads"
        done
    fi

    # Each header's packages: dpkg -S, in one batch, of the path as the compiler
    # gave it, its lexical and its real form, and the other side of the usrmerge.
    local headers=()
    mapfile -t headers < <(cut -f1 "$dir/reads" | grep '^/' | sort -u)
    if [ "${#headers[@]}" -gt 0 ]; then
        paste <(printf '%s\n' "${headers[@]}") <(realpath -ms -- "${headers[@]}") <(realpath -m -- "${headers[@]}") |
            awk -F '\t' '{
                for (i = 1; i <= 3; i++) {
                    print $1 "\t" $i
                    if ($i ~ /^\/usr\/(s?bin|lib[^\/]*)\//) print $1 "\t" substr($i, 5)
                    else if ($i ~ /^\/(s?bin|lib[^\/]*)\//) print $1 "\t/usr" $i
                }
            }' | sort -u >"$dir/paths"
    else
        : >"$dir/paths"
    fi
    cut -f2 "$dir/paths" | sort -u | xargs -r -d '\n' dpkg -S 2>/dev/null | grep -v '^diversion by' >"$dir/owners" || true

    bash "$root/scripts/install-deps.sh" --list ${list:+"$list"} >"$dir/list"
    closure "$dir/list" >"$dir/closure"

    local list_name=${list:-full}
    awk -F '\t' -v build="$name" -v list_name="$list_name" -v commands="$n" -v generated="$generated" \
        -v what="$what" '
        FILENAME == ARGV[1] {
            if ($0 ~ /^missing /) missing[substr($0, 9)] = 1; else brought[$0] = 1
            listed_or_deps++
            next
        }
        FILENAME == ARGV[2] { listed++; next }
        FILENAME == ARGV[3] {
            at = index($0, ": /")
            k = split(substr($0, 1, at - 1), owner, ", ")
            for (i = 1; i <= k; i++) { sub(/:.*/, "", owner[i]); owners[substr($0, at + 2)] = owners[substr($0, at + 2)] " " owner[i] }
            next
        }
        FILENAME == ARGV[4] { packages[$1] = packages[$1] owners[$2]; next }
        {
            if (!($1 in readers)) { order[++headers] = $1; first[$1] = $2 }
            readers[$1]++
        }
        END {
            for (p in missing) {
                printf "header-check %s: %s of the %s list is not installed: run scripts/install-deps.sh%s\n",
                    build, p, list_name, list_name == "demo" ? " demo" : ""
                failed = 1
            }
            for (h = 1; h <= headers; h++) {
                header = order[h]
                k = split(packages[header], owner, " ")
                ok = 0; names = ""
                for (i = 1; i <= k; i++) {
                    if (owner[i] in brought) ok = 1
                    if (index(" " names ", ", " " owner[i] ", ") == 0) names = names (names == "" ? "" : ", ") owner[i]
                    from[owner[i]] = 1
                }
                if (ok) continue
                if (!bad++) printf "header-check %s: FAILED: these are read (by the compiler, or by the demo as it runs) from packages that the %s list of scripts/install-deps.sh does not bring:\n", build, list_name
                more = readers[header] > 1 ? sprintf(" and %d more", readers[header] - 1) : ""
                if (header !~ /^\//) names = "no such file here, so no package"
                else if (names == "") names = "belongs to no package"
                printf "  %s (%s), read by %s%s\n", header, names, first[header], more
            }
            if (bad || failed) exit 1
            for (p in from) used++
            printf "header-check %s: %d compile commands (%s; %d generated sources skipped) read %d headers from outside the tree, from %d packages, all brought by the %s list (%d packages; %d with their dependencies and the essential ones)\n",
                build, commands, what, generated, headers, used, list_name, listed, listed_or_deps
        }' "$dir/closure" "$dir/list" "$dir/owners" "$dir/paths" "$dir/reads"
}

builds=("$@")
[ "${#builds[@]}" -gt 0 ] || builds=(demo full fuzz)
status=0
for b in "${builds[@]}"; do
    case $b in
        demo) check demo demo-build demo || status=1 ;;
        full) check full build "" || status=1 ;;
        fuzz) check fuzz fuzz "" || status=1 ;;
        *)
            echo "usage: $0 [demo] [full] [fuzz]" >&2
            exit 2
            ;;
    esac
done
exit $status
