// The JSON value. Its reader is `core/json_reader.h`, its compact writer `core/json_writer.h`.
//
// Objects keep their members in byte order of the keys, one member per key (a later duplicate
// replaces an earlier one while reading). Numbers keep their class: unsigned 64-bit, signed
// 64-bit (negative integers only) or 64-bit float.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quib::core::json {

struct Value;
using Array = std::vector<Value>;
using Object = std::map<std::string, Value, std::less<>>;

struct Value {
  // Alternative order is fixed: null, bool, u64, i64, f64, string, array, object.
  std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array,
               Object>
      data;

  Value() : data(nullptr) {}
  Value(std::nullptr_t) : data(nullptr) {}
  Value(bool b) : data(b) {}
  Value(std::uint64_t n) : data(n) {}
  Value(std::int64_t n) : data(n) {}
  Value(double d) : data(d) {}
  Value(std::string s) : data(std::move(s)) {}
  Value(const char* s) : data(std::string(s)) {}
  Value(Array a) : data(std::move(a)) {}
  Value(Object o) : data(std::move(o)) {}

  bool is_null() const { return data.index() == 0; }
  bool is_string() const { return data.index() == 5; }
  bool is_object() const { return data.index() == 7; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&data);
  }
  template <typename T>
  T* get_if() {
    return std::get_if<T>(&data);
  }
  bool operator==(const Value&) const = default;
};

}  // namespace quib::core::json
