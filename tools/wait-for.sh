# Sourced by the scripts: wait_for SECONDS COMMAND... runs COMMAND every
# tenth of a second until it succeeds; fails once SECONDS have passed.
wait_for() {
  local tries=$(($1 * 10)); shift
  until "$@"; do
    tries=$((tries - 1))
    [ $tries -gt 0 ] || return 1
    sleep 0.1
  done
}
