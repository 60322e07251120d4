#pragma once

#include <string>

// Finishes a recording that was killed, crashed or lost its power, from the
// spool it left beside `outPath`: the same finish as a stopped recording
// (the same lines, the same files; a spool with one source's track gives
// the one-source files), then the spool is removed once every file is in
// place. Returns the exit status: 0 when the files were written; 1, after a
// "[FAIL] " line, when there is no spool to recover or a track in it cannot
// be read (the spool is then left as it is). `adaptive` chooses the adaptive
// echo canceller.
int recoverRecording(const std::string& outPath, bool echoCancel, bool adaptive = false);
