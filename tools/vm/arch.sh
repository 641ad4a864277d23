# shellcheck shell=bash
# The virtual device's guest architectures, for the scripts that take --arch (vm-device.sh,
# vm/make-image.sh); sourced. take_arch VALUE sets arch, or calls the script's own usage.
take_arch() {
  # shellcheck disable=SC2034 # read by the script that sources this
  case "${1-}" in amd64 | arm64) arch=$1 ;; *) usage ;; esac
}
