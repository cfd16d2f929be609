#include "support/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "support/text.h"

namespace vostrelin {
namespace {

void append_escaped_valid(std::string& out, std::string_view s) {
  static const char* const hex = "0123456789abcdef";
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
}

// Writes the shortest round-trip digits of d in the layout of the JSON
// library the rest of the client reads with: plain notation for decimal
// exponents from -4 to 15 (whole values end in ".0"), otherwise
// d.ddde+XX with at least two exponent digits.
void append_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += "null";
    return;
  }
  if (std::signbit(d)) {
    out += '-';
    d = -d;
  }
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exp10 = std::atoi(std::string(sci.substr(e + 1)).c_str());
  const int k = static_cast<int>(digits.size());
  const int n = exp10 + 1;  // position of the decimal point within digits

  if (k <= n && n <= 15) {
    out += digits;
    out.append(static_cast<size_t>(n - k), '0');
    out += ".0";
  } else if (0 < n && n <= 15) {
    out += digits.substr(0, static_cast<size_t>(n));
    out += '.';
    out += digits.substr(static_cast<size_t>(n));
  } else if (-4 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-n), '0');
    out += digits;
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    int x = n - 1;
    out += x < 0 ? '-' : '+';
    x = std::abs(x);
    if (x < 10) out += '0';
    out += std::to_string(x);
  }
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  if (is_valid_utf8(text)) {
    append_escaped_valid(out, text);
  } else {
    append_escaped_valid(out, utf8_lossy(text));
  }
  out += '"';
}

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

std::string json_double(double value) {
  std::string out;
  append_double(out, value);
  return out;
}

void append_json_text(std::string& out, const Json& v) {
  switch (v.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, it.key());
        out += ':';
        append_json_text(out, it.value());
      }
      out += '}';
      break;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : v) {
        if (!first) out += ',';
        first = false;
        append_json_text(out, item);
      }
      out += ']';
      break;
    }
    case Json::value_t::string:
      append_json_string(out, v.get_ref<const std::string&>());
      break;
    case Json::value_t::boolean:
      out += v.get<bool>() ? "true" : "false";
      break;
    case Json::value_t::number_integer:
      out += std::to_string(v.get<int64_t>());
      break;
    case Json::value_t::number_unsigned:
      out += std::to_string(v.get<uint64_t>());
      break;
    case Json::value_t::number_float:
      append_double(out, v.get<double>());
      break;
    case Json::value_t::null:
    case Json::value_t::binary:
    case Json::value_t::discarded:
      out += "null";
      break;
  }
}

std::string json_text(const Json& value) {
  std::string out;
  append_json_text(out, value);
  return out;
}

}  // namespace vostrelin
