// Who runs the updater, as far as process-wide names need to know.
#pragma once

#include <string>

namespace platform {

// Appended to names that the operating system shares between all users (the
// single-instance segment), so that one user's copy does not silence another
// user's: "-" and the numeric user id on POSIX; empty on Windows, where such
// names already belong to the logon session.
std::string userInstanceSuffix();

} // namespace platform
