# Environment for running the Windows build under Wine: a private prefix inside the build tree,
# no display, no Mono or Gecko prompts, no debug chatter.
: "${SKYHELM_WINE_BUILD:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/windows}"
export WINEPREFIX="$SKYHELM_WINE_BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Creates the prefix when it is missing (with the null graphics driver: no display), then starts
# its server and Wine's services. Started later from inside a test, they would inherit and hold
# that test's output pipes. Broadcasts sent before the services are up are lost, so devices are
# installed only after this.
wine_prefix_up() {
  # Already done by the script that called this one.
  [ -z "${SKYHELM_WINE_UP:-}" ] || return 0
  if [ ! -f "$WINEPREFIX/.skyhelm-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 300 wine wineboot --init >/dev/null 2>&1 || true
    timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    # Let the server that created the prefix exit, so that the setting is written out.
    timeout 120 wineserver -w || true
    touch "$WINEPREFIX/.skyhelm-ready"
  fi
  wineserver -p
  timeout 300 wine wineboot >/dev/null 2>&1 || true
  export SKYHELM_WINE_UP=1
}

# For scripts that drive skyhelm-sim.exe of this build: sets `sim`, brings the prefix up and puts
# it back on every way out (the run's changes replayed by `skyhelm-sim clean`). A caller that
# brought the prefix up already (the Windows test stage) also takes its server down; otherwise
# this script does.
wine_sim_up() {
  sim=$SKYHELM_WINE_BUILD/skyhelm-sim.exe
  wine_own_server=1
  [ -z "${SKYHELM_WINE_UP:-}" ] || wine_own_server=0
  trap wine_sim_down EXIT
  wine_prefix_up
}

wine_sim_down() {
  timeout 60 wine "$sim" clean >/dev/null 2>&1 || true
  [ "$wine_own_server" -eq 0 ] || wineserver -k >/dev/null 2>&1 || true
}
