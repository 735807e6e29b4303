# Shared by the renderer's command-line tests: runs with captured output and
# reads the sizes in files. The caller sets bin before sourcing.
source "$(dirname "${BASH_SOURCE[0]}")/test_lib.sh"
cd "$work"

run() {  # run ARGS...: sets status, out, err
    "$bin" "$@" >out.txt 2>err.txt
    status=$?
    out=$(cat out.txt)
    err=$(cat err.txt)
}
size() { stat -c %s "$1"; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
