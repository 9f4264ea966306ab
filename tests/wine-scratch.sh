# Sourced by the tests that run under Wine: a scratch folder $work, removed on exit, and a
# Wine prefix of its own inside it (its server stopped on exit) unless WINEPREFIX names the
# one to share.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX=$work/wine
  trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
fi
export WINEDEBUG=-all LC_ALL=C.UTF-8
