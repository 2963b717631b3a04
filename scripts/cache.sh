# Sourced: where the scripts keep what is slow to make and safe to reuse (root file systems,
# interpreters built from source, pip's downloads), outside any clone. TOLVANE_CACHE overrides.
if [ -z "${TOLVANE_CACHE:-}" ]; then
  if [ "$(id -u)" -eq 0 ]; then
    TOLVANE_CACHE=/var/cache/tolvane
  else
    TOLVANE_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tolvane
  fi
fi
export TOLVANE_CACHE
