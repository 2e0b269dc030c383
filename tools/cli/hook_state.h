// `wanseer --state FILE`: the address an --on-change run last succeeded for,
// kept across restarts so that a restart does not run the command again for
// an address it has already delivered.  The file holds the dotted address
// and a newline.
#ifndef WANSEER_TOOLS_HOOK_STATE_H
#define WANSEER_TOOLS_HOOK_STATE_H

#include <string>

namespace wanseer_tools {

// The stored address, or "" when there is none: no file yet (a first
// start), or one that cannot be read or does not hold an address, which is
// also reported on stderr.  Never fails otherwise.
std::string load_hook_state(const std::string& path);

// Replaces the file's content with `address` so that a reader sees the old
// or the new address, never a part (a new file beside it, flushed to disk,
// then renamed over it).  False, with errno set, when that failed.
bool store_hook_state(const std::string& path, const std::string& address);

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_HOOK_STATE_H
