# The Debian packages the project needs, in one place, and the step that
# installs the missing ones. Sourced by scripts/run.sh, scripts/test-all.sh and
# .ci/run:
#   . scripts/packages.sh && edclean_require run|test
# "run" is what building the library and the CLI needs; "test" adds what the
# whole suite needs (GoogleTest, Python with venv and pip, clang with
# libFuzzer and its sanitizer runtimes, the mingw-w64 cross toolchain, Wine,
# Mono for the .NET binding, Node.js, npm and TypeScript for the Node binding,
# help2man for the CLI's manual page in the .deb, btrfs-progs for the tests that need a
# btrfs subvolume; for the packages: dpkg-dev to build the .deb files,
# lintian to check them, debootstrap for the fresh root they are installed
# into, llvm's dlltool and lld for the Windows .lib and the program linked
# against it).

EDCLEAN_RUN_PACKAGES="cmake make gcc g++ rapidjson-dev libcli11-dev"
EDCLEAN_TEST_PACKAGES="$EDCLEAN_RUN_PACKAGES pkg-config googletest
  python3 python3-venv python3-pip python3-setuptools python3-wheel
  clang libclang-rt-14-dev libfuzzer-14-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  wine wine64
  mono-devel nodejs npm node-typescript
  help2man btrfs-progs
  dpkg-dev lintian debootstrap llvm lld"

# Away from Debian the packages cannot be asked for by name, so each one is
# probed by what the build uses from it: "command NAME" or "file PATH..."
# (any one of the paths).
edclean_probe() {
  case $1 in
    cmake) echo "command cmake" ;;
    make) echo "command make" ;;
    gcc) echo "command gcc" ;;
    g++) echo "command g++" ;;
    rapidjson-dev) echo "file /usr/include/rapidjson/reader.h /usr/local/include/rapidjson/reader.h" ;;
    libcli11-dev) echo "file /usr/include/CLI/CLI.hpp /usr/local/include/CLI/CLI.hpp" ;;
    pkg-config) echo "command pkg-config" ;;
    googletest) echo "file /usr/src/googletest/CMakeLists.txt" ;;
    python3) echo "command python3" ;;
    python3-venv) echo "python ensurepip" ;;
    python3-pip) echo "python pip" ;;
    python3-setuptools) echo "python setuptools" ;;
    python3-wheel) echo "python wheel" ;;
    clang) echo "command clang++" ;;
    libclang-rt-14-dev | libfuzzer-14-dev) echo "clang-fuzzer" ;;
    g++-mingw-w64-x86-64-posix) echo "command x86_64-w64-mingw32-g++-posix" ;;
    gcc-mingw-w64-x86-64-posix) echo "command x86_64-w64-mingw32-gcc-posix" ;;
    mingw-w64-x86-64-dev) echo "file /usr/x86_64-w64-mingw32/include/windows.h" ;;
    binutils-mingw-w64-x86-64) echo "command x86_64-w64-mingw32-objdump" ;;
    wine | wine64) echo "command wine" ;;
    mono-devel) echo "command mcs" ;;
    nodejs) echo "command node" ;;
    npm) echo "command npm" ;;
    node-typescript) echo "command tsc" ;;
    help2man) echo "command help2man" ;;
    btrfs-progs) echo "file /usr/sbin/mkfs.btrfs /sbin/mkfs.btrfs" ;;
    dpkg-dev) echo "command dpkg-shlibdeps" ;;
    lintian) echo "command lintian" ;;
    debootstrap) echo "file /usr/sbin/debootstrap" ;;
    llvm) echo "command llvm-dlltool" ;;
    lld) echo "command lld-link" ;;
    *) echo "unknown" ;;
  esac
}

edclean_probe_ok() {
  # shellcheck disable=SC2046
  set -- $(edclean_probe "$1")
  local kind=$1
  shift
  case $kind in
    command) command -v "$1" >/dev/null 2>&1 ;;
    file)
      local path
      for path in "$@"; do [ -e "$path" ] && return 0; done
      return 1 ;;
    python) python3 -c "import $1" >/dev/null 2>&1 ;;
    clang-fuzzer)
      # libFuzzer's runtime is what -fsanitize=fuzzer links; clang finds it.
      local rt
      rt=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null) || return 1
      [ -f "$rt" ] ;;
    *) return 1 ;;
  esac
}

edclean_probe_text() {
  # shellcheck disable=SC2046
  set -- $(edclean_probe "$1")
  local kind=$1
  shift
  case $kind in
    command) echo "the program $1" ;;
    file) echo "$*" ;;
    python) echo "the Python module $1 (python3 -c 'import $1')" ;;
    clang-fuzzer) echo "clang's libFuzzer runtime (libclang_rt.fuzzer)" ;;
    *) echo "?" ;;
  esac
}

# Prints the packages of the set that are not installed; one dpkg-query call.
# A name that an installed package provides counts as installed, as it does
# for apt (a Node.js build that bundles npm provides "npm" and conflicts with
# Debian's own npm package).
edclean_missing_packages() {
  local wanted installed pkg
  wanted=$1
  installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev} ${Provides}\n' 2>/dev/null |
    awk '$2 == "ii" { print $1; for (i = 3; i <= NF; i++) if ($i !~ /^\(|\)/) { sub(/,$/, "", $i); print $i } }')
  for pkg in $wanted; do
    case " $(echo $installed) " in
      *" $pkg "*) ;;
      *) echo "$pkg" ;;
    esac
  done
}

# edclean_require run|test: returns when everything is there, installing what
# is missing from Debian's packages (as root, or through sudo); otherwise
# says exactly what is missing and how to get it, and exits.
edclean_require() {
  local set=$1 wanted missing pkg sudo=
  case $set in
    run) wanted=$EDCLEAN_RUN_PACKAGES ;;
    test) wanted=$EDCLEAN_TEST_PACKAGES ;;
    *) echo "edclean_require: unknown set '$set' (run or test)" >&2; exit 2 ;;
  esac
  wanted=$(echo $wanted)

  if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    missing=
    for pkg in $wanted; do
      edclean_probe_ok "$pkg" || missing="$missing $pkg"
    done
    [ -z "$missing" ] && return 0
    {
      echo "This is not a Debian system (no apt-get or dpkg-query), and these are missing:"
      for pkg in $missing; do
        printf '%s\t%s\n' "$(edclean_probe_text "$pkg")" "$pkg"
      done | awk -F'\t' '
        !($1 in seen) { order[n++] = $1; seen[$1] = $2; next }
        { seen[$1] = seen[$1] ", " $2 }
        END { for (i = 0; i < n; i++) print "  " order[i] "   (Debian: " seen[order[i]] ")" }'
      echo "Install them with this system's package manager (the Debian names above say what"
      echo "each one is), then run this command again."
    } >&2
    exit 1
  fi

  missing=$(edclean_missing_packages "$wanted")
  missing=$(echo $missing)
  [ -z "$missing" ] && return 0

  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1 && { [ -t 0 ] || sudo -n true 2>/dev/null; }; then
      sudo="sudo"
    else
      {
        echo "These Debian packages are missing: $missing"
        echo "Install them as root, then run this command again:"
        echo "  apt-get update && apt-get install -y --no-install-recommends $missing"
      } >&2
      exit 1
    fi
  fi

  echo "== installing Debian packages: $missing"
  # shellcheck disable=SC2086
  if ! $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
     ! $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
       $missing >/dev/null; then
    {
      echo "Installing the packages failed. The command was:"
      echo "  ${sudo:+sudo }apt-get update && ${sudo:+sudo }apt-get install -y --no-install-recommends $missing"
    } >&2
    exit 1
  fi
  missing=$(echo $(edclean_missing_packages "$wanted"))
  if [ -n "$missing" ]; then
    echo "Still missing after apt-get install: $missing" >&2
    exit 1
  fi
}
