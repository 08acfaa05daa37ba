# Sourced by the benchmarks that take [--write-doc] [BUILD_DIR]: sets repo, write_doc and
# build (absolute; build-normal by default). An unknown option exits 2.
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
write_doc=0
build=$repo/build-normal
for arg in "$@"; do
  case $arg in
    --write-doc) write_doc=1 ;;
    -*) echo "unknown option $arg" >&2; exit 2 ;;
    *) build=$arg ;;
  esac
done
build=$(cd "$build" && pwd)
