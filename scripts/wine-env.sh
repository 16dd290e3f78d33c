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
