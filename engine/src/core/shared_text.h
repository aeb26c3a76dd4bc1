// An immutable text that copies share: the name of a variable, held by each of its many
// distributions, takes one pointer in each instead of a string of its own.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace quib::core {

class SharedText {
 public:
  // Conversions both ways are implicit, so that a name is made, read and compared as the text
  // it holds.
  SharedText() = default;
  SharedText(std::string_view text) { assign(text); }
  SharedText(const std::string& text) { assign(text); }
  SharedText(const char* text) { assign(std::string_view(text)); }
  SharedText(const SharedText& other) noexcept : rep_(other.rep_) { retain(); }
  SharedText(SharedText&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  SharedText& operator=(SharedText other) noexcept {
    std::swap(rep_, other.rep_);
    return *this;
  }
  ~SharedText() { release(); }

  const std::string& str() const { return rep_ == nullptr ? empty_text() : rep_->text; }
  operator const std::string&() const { return str(); }
  operator std::string_view() const { return str(); }
  std::size_t size() const { return str().size(); }
  bool empty() const { return str().empty(); }
  const char* data() const { return str().data(); }
  const char* c_str() const { return str().c_str(); }
  // Two copies of one text share its block.
  bool shares_with(const SharedText& other) const { return rep_ == other.rep_; }

  friend bool operator==(const SharedText& a, const SharedText& b) {
    return a.rep_ == b.rep_ || a.str() == b.str();
  }
  friend bool operator==(const SharedText& a, std::string_view b) { return a.str() == b; }
  friend bool operator==(const SharedText& a, const char* b) { return a.str() == b; }
  friend bool operator==(const SharedText& a, const std::string& b) { return a.str() == b; }
  friend std::strong_ordering operator<=>(const SharedText& a, const SharedText& b) {
    return a.str() <=> b.str();
  }
  friend std::strong_ordering operator<=>(const SharedText& a, std::string_view b) {
    return std::string_view(a.str()) <=> b;
  }
  friend std::strong_ordering operator<=>(const SharedText& a, const std::string& b) {
    return a.str() <=> b;
  }
  friend std::strong_ordering operator<=>(const SharedText& a, const char* b) {
    return std::string_view(a.str()) <=> std::string_view(b);
  }
  friend std::string operator+(const SharedText& a, std::string_view b) {
    std::string out = a.str();
    out += b;
    return out;
  }
  friend std::ostream& operator<<(std::ostream& out, const SharedText& text) {
    return out << text.str();
  }

 private:
  struct Rep {
    std::atomic<std::uint32_t> refs;
    std::string text;
  };
  static const std::string& empty_text();
  void assign(std::string_view text);
  void retain() const {
    if (rep_ != nullptr) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() {
    if (rep_ != nullptr && rep_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete rep_;
    rep_ = nullptr;
  }

  Rep* rep_ = nullptr;
};

}  // namespace quib::core
