# Sourced by the scripts that build the native programs (bash).
# zandrel_build BUILD_DIR [CMAKE_ARG...] [-- TARGET...]
#   installs what the build needs (scripts/deps.sh), configures BUILD_DIR
#   with Ninja and the given CMake arguments, and builds the named targets
#   (all of them when none is named). Relative paths are taken from the
#   top of the tree.
zandrel_build() {
  local top dir args=() targets=()
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  dir=$1
  shift
  while (($#)) && [[ $1 != -- ]]; do args+=("$1"); shift; done
  (($#)) && shift
  targets=("$@")
  bash "$top/scripts/deps.sh"
  (cd "$top" && cmake -S . -B "$dir" -G Ninja "${args[@]}" >/dev/null)
  if ((${#targets[@]})); then
    (cd "$top" && cmake --build "$dir" --target "${targets[@]}")
  else
    (cd "$top" && cmake --build "$dir")
  fi
}
