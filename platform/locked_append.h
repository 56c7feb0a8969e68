// Appending to a record that several copies of the updater may write at the
// same time (the session's report): every append runs under an exclusive lock
// on the whole file, taken before its first line is looked at and held until
// the new bytes have been flushed, so that two copies never mix their lines
// nor both write the header into a new file.
//
// POSIX: flock(LOCK_EX) on the open file, fsync as the flush.
// Windows: LockFileEx over the whole range, FlushFileBuffers as the flush.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class AppendStatus {
    Appended, // every byte went, and was flushed to the system
    Foreign,  // the file begins with something else than the header: left as it was
    Failed,   // a system call failed: *systemError holds its code (as lastError())
};

// Opens the file at `path` (made when missing; a link is followed) and, under
// the lock: a file that begins with something other than `header` (which
// holds its line end) is Foreign and nothing is written; otherwise `text` goes
// to its end, after `header` when the file is empty, and is flushed. An empty
// `text` writes nothing at all: the call then only checks that the record can
// be opened and is one of ours. A file that cannot be read back (a device, a
// pipe, a terminal) is not looked at; it gets `header` before `text` only
// when `headerToStream`. A regular file that fails half-way is cut back to
// its size before the append, so no half line stays behind.
AppendStatus appendLocked(const char16_t *path, const std::string &header, const std::string &text,
                          bool headerToStream, std::uint32_t *systemError);

} // namespace platform
