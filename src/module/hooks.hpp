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
#include "strings.hpp"

namespace vexdal_py {

// What the hooks of one parse share, so that a hook costs a section little more than the copy of
// two dicts: the header's dict, made once (the header is complete before the first section
// ends); the str of each key, made once, and of each value read, found again by its bytes; and
// the dict of the section under way, made when the section ends and again only after a hook
// changed it. Each hook gets copies; the originals are
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
  // An entry of the section's dict: the objects, and the texts they were made from. The objects
  // are held by the session for as long as the entry is used: by the strs of keys, by a shape's
  // dict, or among made_.
  struct Entry {
    PyObject* key;
    PyObject* value;
    vexdal::Text key_text;
    vexdal::Text value_text;
  };
  // The texts of a dict made for an earlier section, and the dict. Sections mostly repeat the
  // keys of one of a few before them: a section whose keys have the bytes of a shape's, in its
  // order, takes its key objects from it, and a copy of that dict with the values put in costs a
  // third of filling a new one, which grows as it fills. Many values repeat too (a date, the
  // statement's own account and bank): where a value's bytes are those the dict was made with,
  // the copy already holds its str, and nothing is made or put.
  struct Shape {
    std::vector<PyObject*> keys;    // held by the dict
    std::vector<PyObject*> values;  // held by the dict, which no hook ever gets
    vexdal::Charset charset = vexdal::Charset::Utf8;
    // The keys' and the values' texts, one after another, and where each stands.
    std::string bytes;
    struct Spans {
      std::size_t key;
      std::size_t key_size;
      std::size_t value;
      std::size_t value_size;
    };
    std::vector<Spans> spans;
    Ref dict;
    std::string_view key(std::size_t i) const noexcept {
      return std::string_view(bytes).substr(spans[i].key, spans[i].key_size);
    }
    std::string_view value(std::size_t i) const noexcept {
      return std::string_view(bytes).substr(spans[i].value, spans[i].value_size);
    }
  };
  static constexpr std::size_t shape_count = 4;

  // The shape whose keys are the map's, if any.
  Shape* shape_of(const vexdal::TextMap& map);
  // The section's dict: a copy of the shape's, with the values that differ put in.
  Ref dict_from(Shape& shape, const vexdal::TextMap& map, bool read);
  // The section's dict, made anew, and a shape kept of it.
  Ref new_dict(const vexdal::TextMap& map, bool read);
  // The str of a value at place; read: the text is the statement's own, as read.
  Ref value_str(vexdal::Text text, std::size_t place, bool read);

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
  std::vector<Ref> made_;  // the objects of entries_ that nothing else here holds
  std::array<Shape, shape_count> shapes_;
  std::size_t next_shape_ = 0;  // the one to be replaced next
  std::size_t last_shape_ = 0;  // the one the last section had, tried first
  std::unordered_map<PyObject*, std::size_t> entry_index_;  // made only when keys move
  // The strs of values read from the statement, whose texts last as long as the parse: the
  // holder's own requisites, the counterparties and the dates come back section after section,
  // mostly at other places than in the shape they are matched with.
  StrCache values_;
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
