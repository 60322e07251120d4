#pragma once

#include <functional>
#include <optional>
#include <string>

// Finishes a recording that was killed, crashed or lost its power, from the
// spool it left beside `outPath` (its parts in the fallback folders
// joined in): the same finish as a stopped recording (the same lines, the
// same files; a spool with one source's track gives the one-source files),
// then the spool is removed once every file is in place. The spool is
// locked meanwhile. Returns the exit status: 0 when the files were
// written; 1, after a "[FAIL] " line, when there is no spool to recover, a
// live recording holds it, or a track in it cannot be read, and 1 after a
// "[WARN] " line per file when an output cannot be written (the spool is
// then left as it is). `adaptive` chooses the adaptive echo canceller;
// `filesInPlace` (when given) runs once every file is in place, before the
// spool goes; `loudness` levels the files as a stopped recording's are.
int recoverRecording(const std::string& outPath, bool echoCancel, bool adaptive = false,
                     const std::function<void()>& filesInPlace = {},
                     std::optional<double> loudness = std::nullopt);
