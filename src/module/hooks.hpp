// The hook bridge: Python callables behind the parser's Hook interface. Python exceptions never
// cross into the parser; they become the hook's failure text.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "mod.hpp"
#include "ref.hpp"

namespace vexdal_py {

// What the hooks of one parse share, so that a hook costs a section little more than the copy of
// two dicts: the header's dict, made once (the header is complete before the first section
// ends); the str of each key, made once; and the dict of the section under way, made when the
// section ends and again only after a hook changed it. Each hook gets copies; the originals are
// never handed out, and the objects in them tell the values a hook left alone from new ones.
class HookSession {
 public:
  // How many hooks each section goes through.
  void set_hook_count(std::size_t count) noexcept { hook_count_ = count; }
  // A new dict of the header's entries, or an empty Ref with the error set.
  Ref header_dict(const vexdal::Header& header);
  // A new dict of the section's attributes, or an empty Ref with the error set.
  Ref attrs_dict(const vexdal::SectionAttributes& attrs);
  // After a hook: true when the dict it was given still says what it said.
  bool unchanged(PyObject* dict) const;
  // Makes the attributes the dict's entries in the dict's order. False with the error set at
  // the first key or value that is not text.
  bool write_back(PyObject* dict, vexdal::SectionAttributes& attrs);

 private:
  // An entry of the section's dict: the objects, and the texts they were made from.
  struct Entry {
    Ref key;  // held here, as the dict may go with the hook that got it
    Ref value;
    vexdal::Text key_text;
    vexdal::Text value_text;
  };
  // The keys of a dict made for an earlier section, and the dict. Sections mostly repeat the
  // keys of one of a few before them, and a copy of that dict with the values put in costs a
  // third of filling a new one, which grows as it fills. Many values repeat too (a date, the
  // statement's own account and bank): where a value's bytes are those the dict was made with,
  // the copy already holds its str, and nothing is made or put.
  struct Shape {
    std::vector<PyObject*> keys;    // held by the dict
    std::vector<PyObject*> values;  // held by the dict, which no hook ever gets
    // The values' texts, one after another. A section's keys and values share one charset,
    // and the strs of keys are made per charset, so sections with the keys of a shape have
    // values in its charset: the bytes alone tell a value.
    std::string bytes;
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // of each value in bytes
    Ref dict;
    bool same_value(std::size_t i, std::string_view text) const noexcept {
      return std::string_view(bytes).substr(spans[i].first, spans[i].second) == text;
    }
  };
  static constexpr std::size_t shape_count = 4;

  Ref fill_dict();

  Ref key_str(vexdal::Text key, std::size_t place);
  const Entry* entry_of(PyObject* key, std::size_t& next);

  // A section with more distinct keys than this is hostile; its other keys are made each time.
  static constexpr std::size_t max_keys = 4096;
  Ref header_;
  vexdal::TextStore key_texts_;  // the bytes the key maps view
  std::array<std::unordered_map<std::string_view, Ref>, 2> keys_;  // indexed by Charset
  // In front of keys_, a slot per key picked by its length and three of its bytes: a statement
  // has a few dozen keys, which this tells apart without hashing them whole.
  static constexpr std::size_t slot_count = 1024;
  std::array<std::pair<vexdal::Text, PyObject*>, slot_count> slots_{};
  // Before the slots, the key each place of a section had last: writers give a section's keys
  // in the same order every time, so one comparison mostly finds it.
  static constexpr std::size_t place_count = 32;
  std::array<std::pair<vexdal::Text, PyObject*>, place_count> places_{};
  std::size_t hook_count_ = 0;
  std::size_t section_number_ = 0;  // of the section under way
  std::size_t calls_ = 0;  // of hooks in it so far
  Ref section_;  // its dict, never handed out but to its last hook, while it holds what it holds
  std::vector<Entry> entries_;  // of section_, in its order
  std::array<Shape, shape_count> shapes_;
  std::size_t next_shape_ = 0;  // the one to be replaced next
  std::unordered_map<PyObject*, std::size_t> entry_index_;  // made only when keys move
};

// One element of parse()'s hooks. A hook that raises something that is not an Exception (Ctrl-C,
// SystemExit) must not be swallowed into a HookError: it is parked in `escaped` for parse() to
// raise once the parser has unwound.
class HookCallable final : public vexdal::Hook {
 public:
  HookCallable(Ref callable, HookSession& session, CaughtError& escaped)
      : callable_(std::move(callable)), session_(&session), escaped_(&escaped) {}
  vexdal::HookResult call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                          const vexdal::Header& header) override;

 private:
  vexdal::HookResult failure();

  Ref callable_;
  HookSession* session_;
  CaughtError* escaped_;
};

}  // namespace vexdal_py
