#!/usr/bin/env bash
# Builds the Debian package dist/veskar_<version>_amd64.deb (with its .buildinfo
# and .changes) from debian/, and checks it with lintian. The package's build
# uses the Release build's compiler flags, so with the compiler cache warm (any
# earlier build of this tree, ./scripts/test.sh among them) it compiles next
# to nothing. As root the first time: installs the build's packages.
#
#   ./scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(veskar VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
if [[ $version != "$changelog" ]]; then
  echo "package: CMakeLists.txt says $version, debian/changelog $changelog" >&2
  exit 1
fi

./scripts/install-deps.sh

# The revision, as the package's build has no git of its own to ask.
revision=$(git rev-parse --short=12 HEAD 2>/dev/null || true)
if [[ -n $revision ]] && [[ -n $(git status --porcelain --untracked-files=no) ]]; then
  revision+=-dirty
fi

out=dist
rm -rf "$out"
mkdir -p "$out"
base=veskar_${version}_amd64
export VESKAR_REVISION=$revision VESKAR_PACKAGE_DIR=$PWD/$out
DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc \
  --buildinfo-file="$out/$base.buildinfo" --changes-file="$out/$base.changes" \
  --buildinfo-option=-u"$out" --changes-option=-u"$out"
# Errors fail the build; warnings and information are shown.
lintian --fail-on error --info "$out/$base.changes"
echo "built $out/$base.deb"
