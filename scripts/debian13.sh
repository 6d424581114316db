#!/bin/sh
# The second test leg: the working tree built and tested inside a Debian 13
# (trixie) chroot, with trixie's compiler, Python and packages.
#
#   sh scripts/debian13.sh                 make test WERROR=$WERROR in the chroot
#   sh scripts/debian13.sh pytest ARGS...  make build, then pytest ARGS on that
#                                          build (e.g. tests/python/test_x.py -k y)
#   sh scripts/debian13.sh ctest ARGS...   make build, then ctest ARGS in it
#   sh scripts/debian13.sh CMD ARGS...     any other command, run in the tree's copy
#   sh scripts/debian13.sh --prepare       only make or update the chroot
#
# The chroot is made once with debootstrap from Debian's archive and then
# reused while its stamp (suite, archive and package list) is current; a
# changed package list installs what is missing, a broken or half-made chroot
# is made anew. Each source tree gets its own copy and build folder inside
# the chroot (by the tree's path), so two worktrees can run the leg at the
# same time; runs of the same tree wait for each other. Mounts (/proc, /dev,
# a private /tmp) live in a private mount namespace and vanish with it, also
# when the run fails or is killed.
#
#   DEBIAN13_SRC     the source tree (default: the one this script is in)
#   DEBIAN13_ROOT    the chroot (default /var/cache/zelt-quon/debian13)
#   DEBIAN13_MIRROR  the archive (default http://deb.debian.org/debian)
#   DEBIAN13_UPGRADE 1: also bring the chroot's packages up to date
#   WERROR           ON/OFF for the default test run (default ON)
#   JOBS             parallel compile jobs (default 2)
set -eu

# The whole script is read before it runs (main at the end), so an edit of
# this file cannot change a run that is under way.
main() {
HERE=$(cd "$(dirname "$0")/.." && pwd)
SRC=$(cd "${DEBIAN13_SRC:-$HERE}" && pwd)
ROOT=${DEBIAN13_ROOT:-/var/cache/zelt-quon/debian13}
MIRROR=${DEBIAN13_MIRROR:-http://deb.debian.org/debian}
SUITE=trixie
WERROR=${WERROR:-ON}
JOBS=${JOBS:-2}
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

if [ "$(id -u)" -ne 0 ]; then
    echo "debian13.sh: needs root (debootstrap, chroot, mounts); run it with sudo" >&2
    exit 1
fi

# The host's own tools for this: debootstrap and rsync, from Debian.
host_missing=""
for p in debootstrap rsync; do
    command -v "$p" >/dev/null 2>&1 || host_missing="$host_missing $p"
done
if [ -n "$host_missing" ]; then
    echo "debian13.sh: installing on the host:$host_missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || true
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $host_missing
fi

# The chroot carries the same package list as the project's deps.sh.
PACKAGES=$(sh "$HERE/scripts/deps.sh" --list | tr -s '\n' ' ')
STAMP_WANT=$(printf '%s\n%s\n%s\n' "$SUITE" "$MIRROR" "$PACKAGES" | sha256sum | cut -d' ' -f1)
STAMP_FILE="$ROOT/etc/zelt-quon-stamp"

mkdir -p "$(dirname "$ROOT")"
LOCK="$ROOT.lock"

# Runs a command inside the chroot, in a private mount namespace with /proc,
# /dev and a private /tmp. The namespace ends with the command, and with it
# every mount.
in_chroot() {
    unshare -m --propagation private -- sh -eu -c '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs -o size=8g tmpfs "$root/tmp"
        mount -t tmpfs tmpfs "$root/dev/shm"
        if [ -f /etc/resolv.conf ]; then
            cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        fi
        exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive CI="${CI:-}" "$@"
    ' in_chroot "$ROOT" "$@"
}

install_packages() {
    # shellcheck disable=SC2086
    in_chroot sh -eu -c "dpkg --configure -a && apt-get update -qq && apt-get install -y -qq --no-install-recommends $PACKAGES \
        ${DEBIAN13_UPGRADE:+&& apt-get upgrade -y -qq} && apt-get clean"
}

make_chroot() {
    tmp="$ROOT.new"
    rm -rf "$tmp"
    echo "debian13.sh: debootstrap $SUITE into $ROOT (from $MIRROR)"
    # In a mount namespace of its own: what debootstrap mounts in the new
    # tree goes with it, also when it is killed.
    unshare -m --propagation private -- \
        debootstrap --variant=minbase --keyring="$KEYRING" "$SUITE" "$tmp" "$MIRROR"
    # Unpacking without fsync per file: the chroot is a cache, made again
    # when lost.
    echo force-unsafe-io > "$tmp/etc/dpkg/dpkg.cfg.d/zelt-quon-unsafe-io"
    rm -rf "$ROOT"
    mv "$tmp" "$ROOT"
}

prepare() {
    have=""
    [ -f "$STAMP_FILE" ] && have=$(cat "$STAMP_FILE")
    if [ "$have" = "$STAMP_WANT" ] && [ -z "${DEBIAN13_UPGRADE:-}" ]; then
        return 0
    fi
    if [ ! -x "$ROOT/usr/bin/apt-get" ] || [ ! -f "$ROOT/etc/zelt-quon-base" ]; then
        make_chroot
        touch "$ROOT/etc/zelt-quon-base"
    fi
    echo "debian13.sh: installing the build and test packages in the chroot"
    install_packages
    echo "$STAMP_WANT" > "$STAMP_FILE"
}

# Runs hold the chroot's lock shared, so it is not remade under them; only
# a chroot that is missing or not current is worked on, under the lock held
# alone (which waits for the runs under way to end).
exec 8>"$LOCK"
flock -s 8
if [ "$(cat "$STAMP_FILE" 2>/dev/null)" != "$STAMP_WANT" ] || [ -n "${DEBIAN13_UPGRADE:-}" ]; then
    flock -u 8
    flock 8
    prepare
    flock -u 8
    flock -s 8
fi

if [ "${1:-}" = "--prepare" ]; then
    echo "debian13.sh: chroot ready at $ROOT"
    exit 0
fi

# The tree's own copy inside the chroot, named by the tree's path; the build
# folder in it is kept between runs, so a second run only rebuilds changes.
TREE_ID=$(printf '%s' "$SRC" | sha256sum | cut -c1-12)
WORK=/work-trees/$TREE_ID
mkdir -p "$ROOT$WORK"
exec 9>"$ROOT$WORK.lock"
flock 9
echo "$SRC" > "$ROOT$WORK.path"
rsync -a --delete --exclude=/build/ --exclude='/build-*/' --exclude=/dist/ \
    --exclude=.git --exclude=__pycache__ --exclude='*.egg-info' \
    --exclude=.pytest_cache --exclude=.hypothesis \
    "$SRC/" "$ROOT$WORK/src/"

BUILD_ARGS="WERROR=$WERROR JOBS=$JOBS"
case "${1:-}" in
    "") set -- sh -c "make test $BUILD_ARGS" ;;
    pytest)
        shift
        # shellcheck disable=SC2016
        set -- sh -c 'make build '"$BUILD_ARGS"' >/tmp/build.log 2>&1 || { tail -n 60 /tmp/build.log; exit 1; }; PYTHONPATH=$PWD/build exec /usr/bin/python3 -m pytest "$@"' pytest "$@" ;;
    ctest)
        shift
        # shellcheck disable=SC2016
        set -- sh -c 'make build '"$BUILD_ARGS"' >/tmp/build.log 2>&1 || { tail -n 60 /tmp/build.log; exit 1; }; cd build && exec ctest "$@"' ctest "$@" ;;
esac
echo "debian13.sh: $SRC as $WORK/src in $ROOT: $*"
# shellcheck disable=SC2016
in_chroot sh -c 'cd "$0" && exec "$@"' "$WORK/src" "$@"
}

main "$@"
exit
