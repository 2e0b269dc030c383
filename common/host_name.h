// What counts as a host name, for the library's server texts and the tools'
// command lines alike, so that a text the CLI accepts is one the library
// looks up and the reverse.
#ifndef WANSEER_HOST_NAME_H
#define WANSEER_HOST_NAME_H

#include <cstddef>
#include <string_view>

namespace wanseer {

constexpr bool is_host_name_byte(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
}

// At most 253 bytes, labels of 1 to 63 letters, digits, '-' or '_', one
// final '.' allowed.  A name whose last label is all digits is a mistyped
// address (256.1.1.1, 1.2.3.4.5): no top-level domain is numeric, so no name
// server could answer for it and it is never looked up.
constexpr bool is_host_name(std::string_view name) {
  constexpr std::size_t longest_name = 253;
  constexpr std::size_t longest_label = 63;
  if (!name.empty() && name.back() == '.') {
    name.remove_suffix(1);
  }
  if (name.empty() || name.size() > longest_name) {
    return false;
  }
  std::size_t label = 0;
  bool all_digits = true;
  for (const char byte : name) {
    if (byte == '.') {
      if (label == 0) {
        return false;
      }
      label = 0;
      all_digits = true;
    } else if (!is_host_name_byte(byte) || ++label > longest_label) {
      return false;
    } else {
      all_digits = all_digits && byte >= '0' && byte <= '9';
    }
  }
  return label != 0 && !all_digits;
}

}  // namespace wanseer

#endif  // WANSEER_HOST_NAME_H
