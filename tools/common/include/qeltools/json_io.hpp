// JSON for every reader and writer of the tools: nlohmann/json, objects in
// the order their keys were written, and one rule for bytes.
//
// The rule: a JSON text must be valid UTF-8, but what programs under test
// print, and what file names hold, need not be. Well-formed UTF-8 is
// written as it is; any other byte b is written as the escape \u00XX of
// the same number, which any other reader shows as b's Latin-1 character.
// Readers of the files that carry a program's bytes exactly (saved runs,
// the unit registry) ask parseJson() to read such escapes back as the
// bytes; other documents (source maps, which older tools wrote with
// \u00XX for real characters) read them as characters.
//
// Inside a Json value a byte of the first kind is held as the private-use
// character U+10FF00+b (U+10FF80..U+10FFFF, never produced by a probe),
// so the library itself always sees valid UTF-8.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace qeltools {

using Json = nlohmann::ordered_json;

// An empty object with room for `members`: the library keeps members in a
// vector whose elements are copied, not moved, when it grows, so a writer
// that builds large documents says up front how many members come.
Json jsonObject(std::size_t members);

// A JSON string holding `bytes`, whatever they are.
Json jsonBytes(std::string_view bytes);

// The bytes a JSON string stands for; "" for anything that is no string.
std::string bytesOf(const Json& v);

// The document as text, on one line when `indent` is negative.
std::string dumpJson(const Json& v, int indent = -1);

// `bytes` as a JSON string literal, quotes included.
std::string jsonStringLiteral(std::string_view bytes);

enum class ByteEscapes { AreCharacters, AreBytes };

// Parses a whole document; false with the library's message on error.
bool parseJson(std::string_view text, Json* out, std::string* error,
               ByteEscapes escapes = ByteEscapes::AreCharacters);

// Checked field access: a missing or null member reads as 0 (or ""), a
// member of another type or out of range is an error, never a wrapped or
// truncated value. Each returns false with the member's name in `error`.
bool readUnsigned(const Json& object, const char* key, uint64_t max, uint64_t* out,
                  std::string* error);
bool readSigned(const Json& object, const char* key, int64_t min, int64_t max, int64_t* out,
                std::string* error);
bool readBool(const Json& object, const char* key, bool* out, std::string* error);
bool readBytes(const Json& object, const char* key, std::string* out, std::string* error);

}  // namespace qeltools
