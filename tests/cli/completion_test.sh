#!/bin/bash
# The completion's answers, with a stand-in narup-capture on PATH that prints
# fixed device lists (a name holding an escaped "id" must not count).
bin=$(mktemp -d) && trap 'rm -rf "$bin"' EXIT
cat >"$bin/narup-capture" <<'STANDIN'
#!/bin/sh
case $1 in
  --list-input-devices) printf '%s' '{"default":"","devices":[{"id":"mic.a","name":"\"id\":\"no\""},{"name":"B","id":"mic.b"}]}' ;;
  --list-output-devices) printf '%s' '{"default":"","devices":[{"id":"sink-1","name":"Speakers"}]}' ;;
esac
STANDIN
chmod +x "$bin/narup-capture"
PATH=$bin:$PATH source "$1"
status=0
check() {  # check "<answers>" word... : completes the last word
    local want=$1 && shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
    PATH=$bin:$PATH _narup_capture narup-capture "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    [[ "${COMPREPLY[*]}" == "$want" ]] || { echo "FAIL: $* -> '${COMPREPLY[*]}', want '$want'"; status=1; }
}
check "mic.a mic.b" narup-capture out.wav --mic-device ""
check "mic.b" narup-capture out.wav --mic-device mic.b
check "sink-1" narup-capture --set-output-device ""
check "sink-1" narup-capture out.wav --system-device ""
check "--system --system-device" narup-capture out.wav --sys
check "--mic --mic-device" narup-capture out.wav --mic
check "-16" narup-capture out.flac --loudness -1
check "--loudness" narup-capture out.flac --lou
check "" narup-capture --process-files m  # file names: bash's own
[[ $(complete -p narup-capture) == "complete -o default -F _narup_capture narup-capture" ]] || status=1
exit $status
