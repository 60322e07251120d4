#!/bin/bash
# The Debian package as CPack builds it from this build tree: the binary, the
# man page and the completion, and the libraries they need declared (the
# encoders and the loudness meter among them).
build=$1
out=$(mktemp -d) && trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/log" 2>&1 || { cat "$out/log"; exit 1; }
deb=$(ls "$out"/*.deb) || exit 1
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
depends=$(dpkg-deb -f "$deb" Depends)
status=0
for f in ./usr/bin/narup-capture ./usr/share/man/man1/narup-capture.1.gz \
         ./usr/share/bash-completion/completions/narup-capture; do
    grep -qxF "$f" <<<"$files" || { echo "FAIL: $f not in the package"; status=1; }
done
for lib in libc6 libfftw3-single3 libpulse0 libstdc++6 libflac12 libopusenc0 libebur128-1; do
    [[ $depends == *"$lib "* ]] || { echo "FAIL: Depends lacks $lib: $depends"; status=1; }
done
exit $status
