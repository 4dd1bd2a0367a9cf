#include "qeltools/json_io.hpp"

#include <cstring>

#include "qeltools/utf8.hpp"

namespace qeltools {
namespace {

// U+10FF00+b in UTF-8, b in 0x80..0xFF: F4 8F BE|BF 80..BF.
constexpr unsigned char kHeld0 = 0xF4, kHeld1 = 0x8F;

void holdByte(std::string& out, unsigned char b) {
  out += static_cast<char>(kHeld0);
  out += static_cast<char>(kHeld1);
  out += static_cast<char>(0xBE | (b >> 6 & 1));
  out += static_cast<char>(0x80 | (b & 0x3F));
}

bool heldByteAt(std::string_view s, std::size_t i, unsigned char* b) {
  if (i + 3 >= s.size() || static_cast<unsigned char>(s[i]) != kHeld0 ||
      static_cast<unsigned char>(s[i + 1]) != kHeld1 ||
      (static_cast<unsigned char>(s[i + 2]) & 0xFE) != 0xBE)
    return false;
  *b = static_cast<unsigned char>(0x80 | (s[i + 2] & 1) << 6 | (s[i + 3] & 0x3F));
  return true;
}

bool isHex(char c) { return std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != '\0'; }

// \u0080..\u00ff escapes become the held characters before parsing.
std::string escapesToHeldBytes(std::string_view text) {
  std::string o;
  o.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      o += text[i];
      continue;
    }
    if (text[i + 1] == 'u' && i + 5 < text.size() && text.compare(i + 2, 2, "00") == 0 &&
        isHex(text[i + 4]) && isHex(text[i + 5]) && std::strchr("89abcdefABCDEF", text[i + 4])) {
      o += "\\uDBFF\\uDF";
      o.append(text, i + 4, 2);
      i += 5;
      continue;
    }
    o.append(text, i, 2);
    ++i;
  }
  return o;
}

std::string describe(const char* key, const char* what) {
  return std::string("\"") + key + "\" must be " + what;
}

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

}  // namespace

Json jsonObject(std::size_t members) {
  Json o = Json::object();
  o.get_ref<Json::object_t&>().reserve(members);
  return o;
}

Json jsonBytes(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  if (i == bytes.size()) return Json(std::string(bytes));
  std::string s(bytes.substr(0, i));
  s.reserve(bytes.size() + 8);
  while (i < bytes.size()) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const std::size_t n = c < 0x80 ? 1 : utf8SequenceLength(bytes, i);
    if (n == 0) {
      holdByte(s, c);
      ++i;
    } else {
      s.append(bytes, i, n);
      i += n;
    }
  }
  return Json(std::move(s));
}

// `s` with each held byte replaced by what `held` makes of it; `s` itself
// when it holds none (the common case: one search).
template <typename Held>
std::string replaceHeldBytes(const std::string& s, Held held) {
  if (s.find(static_cast<char>(kHeld0)) == std::string::npos) return s;
  std::string o;
  o.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char b = 0;
    if (heldByteAt(s, i, &b)) {
      held(o, b);
      i += 3;
    } else {
      o += s[i];
    }
  }
  return o;
}

std::string bytesOf(const Json& v) {
  if (!v.is_string()) return {};
  return replaceHeldBytes(v.get_ref<const std::string&>(),
                          [](std::string& o, unsigned char b) { o += static_cast<char>(b); });
}

std::string dumpJson(const Json& v, int indent) {
  // Every string reaches the library through jsonBytes(), so the replace
  // handler never acts; it only keeps a tool from aborting if one did not.
  return replaceHeldBytes(v.dump(indent, ' ', false, nlohmann::detail::error_handler_t::replace),
                          [](std::string& o, unsigned char b) {
                            static const char* kHex = "0123456789abcdef";
                            o += "\\u00";
                            o += kHex[b >> 4];
                            o += kHex[b & 15];
                          });
}

std::string jsonStringLiteral(std::string_view bytes) { return dumpJson(jsonBytes(bytes)); }

bool parseJson(std::string_view text, Json* out, std::string* error, ByteEscapes escapes) {
  try {
    if (escapes == ByteEscapes::AreBytes && text.find("\\u00") != std::string_view::npos)
      *out = Json::parse(escapesToHeldBytes(text));
    else
      *out = Json::parse(text.begin(), text.end());
    return true;
  } catch (const Json::exception& e) {
    *error = e.what();
    return false;
  }
}

bool readUnsigned(const Json& object, const char* key, uint64_t max, uint64_t* out,
                  std::string* error) {
  const Json* v = member(object, key);
  *out = 0;
  if (!v) return true;
  if (v->is_number_unsigned() && v->get<uint64_t>() <= max) {
    *out = v->get<uint64_t>();
    return true;
  }
  *error = describe(key, ("an integer from 0 to " + std::to_string(max)).c_str());
  return false;
}

bool readSigned(const Json& object, const char* key, int64_t min, int64_t max, int64_t* out,
                std::string* error) {
  const Json* v = member(object, key);
  *out = 0;
  if (!v) return true;
  if (v->is_number_integer()) {
    const bool isUnsigned = v->is_number_unsigned();
    const uint64_t u = isUnsigned ? v->get<uint64_t>() : 0;
    const int64_t x = isUnsigned ? static_cast<int64_t>(u) : v->get<int64_t>();
    if ((!isUnsigned || u <= static_cast<uint64_t>(max)) && x >= min && x <= max) {
      *out = x;
      return true;
    }
  }
  *error = describe(
      key, ("an integer from " + std::to_string(min) + " to " + std::to_string(max)).c_str());
  return false;
}

bool readBool(const Json& object, const char* key, bool* out, std::string* error) {
  const Json* v = member(object, key);
  *out = false;
  if (!v) return true;
  if (v->is_boolean()) {
    *out = v->get<bool>();
    return true;
  }
  *error = describe(key, "true or false");
  return false;
}

bool readBytes(const Json& object, const char* key, std::string* out, std::string* error) {
  const Json* v = member(object, key);
  out->clear();
  if (!v) return true;
  if (v->is_string()) {
    *out = bytesOf(*v);
    return true;
  }
  *error = describe(key, "a string");
  return false;
}

}  // namespace qeltools
