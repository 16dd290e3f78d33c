# Environment for running the Windows build under Wine: a private prefix inside the build tree,
# no display, no Mono or Gecko prompts, no debug chatter.
: "${SKYHELM_WINE_BUILD:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/windows}"
export WINEPREFIX="$SKYHELM_WINE_BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
