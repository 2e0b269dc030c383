// Standard output as the CLI prints addresses to it: every line is flushed
// and checked, so that an address that could not be written (a full disk,
// a closed descriptor, a reader gone) is an error and not a silent success.
#ifndef WANSEER_TOOLS_ADDRESS_OUTPUT_H
#define WANSEER_TOOLS_ADDRESS_OUTPUT_H

#include <string>

namespace wanseer_tools {

class address_output {
 public:
  // To be made before anything opens a descriptor: if standard output is
  // closed, /dev/null takes its number, so that no socket of the library
  // does and gets the address, and every write reports EBADF.
  address_output();

  // Writes `line` and a newline and flushes them; false, with errno set, if
  // any of it failed.
  bool write_line(const std::string& line) const;

 private:
  bool closed_ = false;
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_ADDRESS_OUTPUT_H
