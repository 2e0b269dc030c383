#include "stun_codec.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace wanseer::stun {

namespace {

constexpr std::uint16_t binding_request_type = 0x0001;
constexpr std::uint16_t binding_success_type = 0x0101;
constexpr std::uint16_t binding_error_type = 0x0111;

constexpr std::uint16_t mapped_address = 0x0001;
constexpr std::uint16_t change_request = 0x0003;
constexpr std::uint16_t message_integrity = 0x0008;
constexpr std::uint16_t error_code = 0x0009;
constexpr std::uint16_t unknown_attributes = 0x000A;
constexpr std::uint16_t message_integrity_sha256 = 0x001C;
constexpr std::uint16_t xor_mapped_address = 0x0020;
constexpr std::uint16_t alternate_server = 0x8023;
constexpr std::uint16_t fingerprint = 0x8028;

constexpr std::uint16_t try_alternate = 300;

constexpr std::uint16_t comprehension_optional = 0x8000;
constexpr std::uint16_t understood[] = {0x0001, 0x0003, 0x0006, 0x0008, 0x0009, 0x000A,
                                        0x0014, 0x0015, 0x001C, 0x001D, 0x001E, 0x0020};

constexpr unsigned char change_ip_flag = 0x04;
constexpr unsigned char change_port_flag = 0x02;
constexpr unsigned char ipv4_family = 0x01;
constexpr std::size_t ipv4_address_value = 8;
constexpr std::size_t fingerprint_attribute = 8;

std::uint16_t read16(const unsigned char* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

std::uint32_t read32(const unsigned char* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
         std::uint32_t{at[3]};
}

void write16(unsigned char* at, std::uint16_t value) {
  at[0] = static_cast<unsigned char>(value >> 8);
  at[1] = static_cast<unsigned char>(value);
}

void write32(unsigned char* at, std::uint32_t value) {
  write16(at, static_cast<std::uint16_t>(value >> 16));
  write16(at + 2, static_cast<std::uint16_t>(value));
}

std::size_t padded(std::size_t length) {
  return (length + 3) & ~std::size_t{3};
}

}  // namespace

attribute_class class_of_attribute(std::uint16_t type) {
  if (type >= comprehension_optional) {
    return attribute_class::optional;
  }
  return std::find(std::begin(understood), std::end(understood), type) != std::end(understood)
             ? attribute_class::understood
             : attribute_class::unknown_required;
}

namespace {

// zlib's CRC-32 of `length` bytes, XOR the value RFC 5389 gives it.
std::uint32_t fingerprint_of(const unsigned char* message, std::size_t length) {
  const uLong crc = crc32(crc32(0L, Z_NULL, 0), message, static_cast<uInt>(length));
  return static_cast<std::uint32_t>(crc) ^ fingerprint_xor;
}

// One attribute as found in a message; `value` points into the datagram.
struct attribute {
  std::uint16_t type;
  std::uint16_t length;
  const unsigned char* value;
};

// What one pass over a message's attributes found.  `well_formed` is false
// when an attribute runs past the end, or a FINGERPRINT is misplaced, of the
// wrong size or wrong.
struct attribute_scan {
  bool well_formed = true;
  bool has_fingerprint = false;
  std::optional<attribute> xor_mapped;
  std::optional<attribute> mapped;
  std::optional<attribute> change;
  std::optional<attribute> error;
  std::optional<attribute> alternate;
  std::uint16_t unknown[most_unknown_listed] = {};
  std::size_t unknown_count = 0;
  bool any_unknown = false;
};

void note_unknown(attribute_scan& scan, std::uint16_t type) {
  scan.any_unknown = true;
  const auto listed = scan.unknown + scan.unknown_count;
  if (scan.unknown_count < most_unknown_listed && std::find(scan.unknown, listed, type) == listed) {
    scan.unknown[scan.unknown_count++] = type;
  }
}

// Whether an attribute of `type` still counts after the message integrity
// attributes seen so far: after MESSAGE-INTEGRITY only
// MESSAGE-INTEGRITY-SHA256 and FINGERPRINT do, after
// MESSAGE-INTEGRITY-SHA256 only FINGERPRINT (RFC 8489 sections 14.5, 14.6).
// The others may have been added by anyone on the way; they are skipped
// whole, never read.
bool counts_after_integrity(std::uint16_t type, std::uint16_t integrity_seen) {
  switch (integrity_seen) {
    case 0:
      return true;
    case message_integrity:
      return type == message_integrity_sha256 || type == fingerprint;
    default:
      return type == fingerprint;
  }
}

// `message` is a whole message whose header has been checked: its length
// field is the datagram's length less the header.  The first of each
// attribute counts, as RFC 8489 asks.
attribute_scan scan_attributes(const unsigned char* message, std::size_t length) {
  attribute_scan scan;
  std::uint16_t integrity_seen = 0;  // the last integrity attribute's type
  std::size_t at = header_length;
  while (at < length) {
    if (scan.has_fingerprint || length - at < 4) {
      scan.well_formed = false;
      return scan;
    }
    const attribute found{read16(message + at), read16(message + at + 2), message + at + 4};
    const std::size_t room = length - at - 4;
    if (padded(found.length) > room) {
      scan.well_formed = false;
      return scan;
    }
    if (!counts_after_integrity(found.type, integrity_seen)) {
      at += 4 + padded(found.length);
      continue;
    }
    switch (found.type) {
      case fingerprint: {
        // The CRC covers the message up to this attribute, with the header's
        // length field counting it (as it already does here: it is last).
        if (found.length != 4 || at + fingerprint_attribute != length ||
            read32(found.value) != fingerprint_of(message, at)) {
          scan.well_formed = false;
          return scan;
        }
        scan.has_fingerprint = true;
        break;
      }
      case xor_mapped_address:
        if (!scan.xor_mapped) {
          scan.xor_mapped = found;
        }
        break;
      case mapped_address:
        if (!scan.mapped) {
          scan.mapped = found;
        }
        break;
      case change_request:
        if (!scan.change) {
          scan.change = found;
        }
        break;
      case error_code:
        if (!scan.error) {
          scan.error = found;
        }
        break;
      case alternate_server:
        if (!scan.alternate) {
          scan.alternate = found;
        }
        break;
      case message_integrity:
      case message_integrity_sha256:
        integrity_seen = found.type;
        break;
      default:
        if (class_of_attribute(found.type) == attribute_class::unknown_required) {
          note_unknown(scan, found.type);
        }
        break;
    }
    at += 4 + padded(found.length);
  }
  return scan;
}

// An IPv4 address attribute's address, XORed with `mask` (0 for
// MAPPED-ADDRESS), in network byte order; nothing for another family or a
// value of the wrong size.
std::optional<std::uint32_t> ipv4_of(const attribute& found, std::uint32_t mask) {
  if (found.length != ipv4_address_value || found.value[1] != ipv4_family) {
    return std::nullopt;
  }
  const std::uint32_t host_order = read32(found.value + 4) ^ mask;
  unsigned char bytes[4];
  write32(bytes, host_order);
  std::uint32_t network_order;
  std::memcpy(&network_order, bytes, sizeof network_order);
  return network_order;
}

void append_fingerprint(std::array<unsigned char, longest_answer>& answer, std::size_t& length) {
  write16(answer.data() + 2,
          static_cast<std::uint16_t>(length + fingerprint_attribute - header_length));
  write16(answer.data() + length, fingerprint);
  write16(answer.data() + length + 2, 4);
  write32(answer.data() + length + 4, fingerprint_of(answer.data(), length));
  length += fingerprint_attribute;
}

}  // namespace

binding_request make_binding_request(const transaction_id& id) {
  binding_request request{};
  write16(request.data(), binding_request_type);
  write16(request.data() + 2, 0);
  write32(request.data() + 4, magic_cookie);
  std::copy(id.begin(), id.end(), request.begin() + 8);
  return request;
}

bool has_stun_form(const unsigned char* datagram, std::size_t length) {
  return length >= header_length && (datagram[0] & 0xC0) == 0 &&
         read16(datagram + 2) == length - header_length;
}

binding_answer read_binding_answer(const unsigned char* datagram, std::size_t length,
                                   const transaction_id& id) {
  binding_answer answer;
  if (!has_stun_form(datagram, length) || length % 4 != 0 || read32(datagram + 4) != magic_cookie ||
      !std::equal(id.begin(), id.end(), datagram + 8)) {
    return answer;
  }
  const std::uint16_t type = read16(datagram);
  if (type != binding_success_type && type != binding_error_type) {
    return answer;
  }
  // A malformed message is dropped as if it never came (RFC 8489 section
  // 6.3): anyone on the way could have cut or bent it.
  const attribute_scan scan = scan_attributes(datagram, length);
  if (!scan.well_formed) {
    return answer;
  }
  answer.what = binding_answer::kind::failed;
  if (type == binding_error_type) {
    if (scan.error && scan.error->length >= 4) {
      answer.error_code =
          static_cast<std::uint16_t>((scan.error->value[2] & 0x07) * 100 + scan.error->value[3]);
    }
    if (answer.error_code == try_alternate && !scan.any_unknown && scan.alternate) {
      const attribute& alternate = *scan.alternate;
      if (const auto address = ipv4_of(alternate, 0)) {
        const std::uint16_t port = read16(alternate.value + 2);
        if (*address != 0 && port != 0) {
          answer.alternate = binding_answer::endpoint{*address, port};
        }
      }
    }
    return answer;
  }
  if (scan.any_unknown) {
    return answer;
  }
  std::optional<std::uint32_t> address;
  if (scan.xor_mapped) {
    address = ipv4_of(*scan.xor_mapped, magic_cookie);
  } else if (scan.mapped) {
    address = ipv4_of(*scan.mapped, 0);
  }
  if (address) {
    answer.what = binding_answer::kind::address;
    answer.address = *address;
  }
  return answer;
}

std::size_t answer_binding_request(const unsigned char* datagram, std::size_t length,
                                   std::uint32_t source_address, std::uint16_t source_port,
                                   std::array<unsigned char, longest_answer>& answer) {
  if (!has_stun_form(datagram, length) || length % 4 != 0 ||
      read16(datagram) != binding_request_type) {
    return 0;
  }
  const bool classic = read32(datagram + 4) != magic_cookie;
  const attribute_scan scan = scan_attributes(datagram, length);
  if (!scan.well_formed) {
    return 0;
  }
  if (scan.change && scan.change->length != 4) {
    return 0;
  }
  // A server with one address cannot answer from another: RFC 5780 has it
  // refuse the flags with a 420 naming CHANGE-REQUEST, which classic NAT
  // type clients also take as "the server is reachable".
  const bool change_refused =
      scan.change && (scan.change->value[3] & (change_ip_flag | change_port_flag)) != 0;
  std::uint16_t listed[most_unknown_listed];
  std::size_t listed_count = 0;
  if (change_refused) {
    listed[listed_count++] = change_request;
  }
  for (std::size_t i = 0; i < scan.unknown_count && listed_count < most_unknown_listed; ++i) {
    listed[listed_count++] = scan.unknown[i];
  }
  // The header: the type and length are filled in below, the cookie and ID
  // (or a classic request's whole ID) are the request's.
  std::memcpy(answer.data() + 4, datagram + 4, header_length - 4);
  unsigned char* const body = answer.data() + header_length;
  std::size_t answer_length = header_length;
  if (scan.any_unknown || change_refused) {
    write16(answer.data(), binding_error_type);
    write16(body, error_code);
    write16(body + 2, 4);
    write32(body + 4, (4U << 8) | 20U);
    write16(body + 8, unknown_attributes);
    // RFC 3489 has an odd list repeat a type to fill its last 4 bytes, so
    // that the attribute's length stays a multiple of 4 for its clients;
    // later RFCs pad with zeros and say the list's true length.
    const std::size_t list_bytes = padded(listed_count * 2);
    write16(body + 10, static_cast<std::uint16_t>(classic ? list_bytes : listed_count * 2));
    std::memset(body + 12, 0, list_bytes);
    for (std::size_t i = 0; i < listed_count; ++i) {
      write16(body + 12 + i * 2, listed[i]);
    }
    if (classic && listed_count % 2 != 0) {
      write16(body + 12 + listed_count * 2, listed[listed_count - 1]);
    }
    answer_length += 12 + list_bytes;
  } else {
    write16(answer.data(), binding_success_type);
    write16(body, classic ? mapped_address : xor_mapped_address);
    write16(body + 2, ipv4_address_value);
    body[4] = 0;
    body[5] = ipv4_family;
    // Both arrive in network byte order, the order they are written in.
    unsigned char port[2];
    unsigned char address[4];
    std::memcpy(port, &source_port, sizeof port);
    std::memcpy(address, &source_address, sizeof address);
    const std::uint32_t mask = classic ? 0 : magic_cookie;
    write16(body + 6, static_cast<std::uint16_t>(read16(port) ^ (mask >> 16)));
    write32(body + 8, read32(address) ^ mask);
    answer_length += 4 + ipv4_address_value;
  }
  write16(answer.data() + 2, static_cast<std::uint16_t>(answer_length - header_length));
  if (scan.has_fingerprint && !classic) {
    append_fingerprint(answer, answer_length);
  }
  return answer_length;
}

}  // namespace wanseer::stun
