// Category lists: the names of a categorical variable's categories, position = index in every
// count vector.
//
// A database may hold a hundred thousand distributions of one variable, each naming the same
// hundreds of categories; a `CategoryList` is an immutable value that copies by sharing one
// allocation, so those distributions hold one list between them. Equality compares the names,
// never the allocation: a distribution read from a file may name other categories than its
// variable's definition, and only equal contents ever share. Copies and reads are safe from any
// thread; nothing changes a list once made.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quib::core {

class CategoryList {
 public:
  using value_type = std::string;
  using size_type = std::size_t;
  using const_iterator = std::vector<std::string>::const_iterator;
  using iterator = const_iterator;

  CategoryList() = default;
  // Implicit, so that a list of names reads wherever a category list is expected.
  CategoryList(std::vector<std::string> names)  // NOLINT(google-explicit-constructor)
      : names_(std::make_shared<const std::vector<std::string>>(std::move(names))) {}
  CategoryList(std::initializer_list<std::string> names)
      : CategoryList(std::vector<std::string>(names)) {}

  const std::vector<std::string>& names() const { return names_ ? *names_ : empty_names(); }
  std::size_t size() const { return names().size(); }
  bool empty() const { return names().empty(); }
  const std::string& operator[](std::size_t i) const { return names()[i]; }
  const std::string& front() const { return names().front(); }
  const std::string& back() const { return names().back(); }
  const std::string* data() const { return names().data(); }
  const_iterator begin() const { return names().begin(); }
  const_iterator end() const { return names().end(); }

  // True when both hold one allocation, which implies equal names; for fast paths only.
  bool shares_names_with(const CategoryList& other) const { return names_ == other.names_; }

  friend bool operator==(const CategoryList& a, const CategoryList& b) {
    return a.shares_names_with(b) || a.names() == b.names();
  }

 private:
  static const std::vector<std::string>& empty_names();

  std::shared_ptr<const std::vector<std::string>> names_;
};

// Hands out one shared list for each distinct set of names it is given, so that lists decoded
// one by one end up sharing one allocation. Only the interned lists are kept, never the lists
// handed in, so a decoder can intern each list as it is read and let its copy go.
class CategoryInterner {
 public:
  // The list first interned with the names of `list`; `list` itself when its names are new.
  CategoryList intern(const CategoryList& list);

 private:
  // By a hash of the names; equal hashes are told apart by comparing the names.
  std::unordered_multimap<std::size_t, CategoryList> lists_;
};

}  // namespace quib::core
