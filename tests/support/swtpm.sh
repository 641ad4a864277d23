# Software TPMs for the tests and benchmarks that need one, sourced by their scripts: each
# TPM gets free ports and its own state folder, and every TPM started here is stopped when
# the calling shell exits.
#
#   swtpm_missing        prints what is missing for a TPM test (nothing when all is there)
#   swtpm_start DIR      starts a TPM with its state in DIR (an absolute path is made of it)
#                        and sets swtpm_tcti to its TCTI string; false when none starts
#   swtpm_stop_all       stops them (done on exit anyway)

swtpm_pids=()
swtpm_tcti=""

swtpm_missing() {
  local program
  for program in swtpm tpm2_createprimary tpm2_import tpm2_encodeobject tpm2_load \
    tpm2_evictcontrol tpm2_flushcontext openssl; do
    command -v "$program" >/dev/null 2>&1 || { echo "$program is not installed"; return; }
  done
  local modules
  modules=$(openssl version -m | sed -E 's/^[^"]*"([^"]*)".*/\1/')
  [ -e "$modules/tpm2.so" ] || echo "the OpenSSL tpm2 provider is not installed"
}

swtpm_stop_all() {
  local pid
  for pid in "${swtpm_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  swtpm_pids=()
}
trap swtpm_stop_all EXIT

swtpm_start() {
  # swtpm --daemon changes to /, so every path it is given is absolute.
  local dir
  dir=$(mkdir -p "$1/state" && cd "$1" && pwd) || return 1
  local attempt port
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + (RANDOM % 20000) * 2))
    rm -f "$dir/pid"
    if swtpm socket --tpm2 --tpmstate "dir=$dir/state" \
      --server "type=tcp,port=$port,bindaddr=127.0.0.1" \
      --ctrl "type=tcp,port=$((port + 1)),bindaddr=127.0.0.1" \
      --flags not-need-init,startup-clear --daemon --pid "file=$dir/pid" \
      --log "file=$dir/log" 2>>"$dir/start.log" && [ -s "$dir/pid" ]; then
      swtpm_pids+=("$(cat "$dir/pid")")
      swtpm_tcti="swtpm:host=127.0.0.1,port=$port"
      return 0
    fi
  done
  echo "no software TPM would start (attempt $attempt):" >&2
  cat "$dir/start.log" >&2
  return 1
}
