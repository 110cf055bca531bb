// The hook bridge: shows a section to a Python callable as two fresh dicts and writes the changed
// attribute dict back. Exceptions are turned into failure texts here and go no further.
#include "hooks.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "keys.hpp"
#include "strings.hpp"

namespace vexdal_py {
namespace {

// Takes the pending error. What is not reportable (Ctrl-C, SystemExit, MemoryError) must not be
// swallowed: it is parked in escaped, for parse() to raise once the parser has stopped.
void drop_error(CaughtError& escaped) {
  CaughtError caught = CaughtError::take();
  if (!caught.is_reportable()) escaped = std::move(caught);
}

// The UTF-8 of a str that may hold lone surrogates: each one becomes U+FFFD per byte of its
// surrogate-escaped form, as the replacing decoder reads those bytes. Empty when that cannot be
// made; a MemoryError on the way is parked, so that it is not lost in a shortened text.
std::string utf8_of_text(PyObject* text, CaughtError& escaped) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  drop_error(escaped);
  Ref raw = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!raw) {
    drop_error(escaped);
    return {};
  }
  Ref repaired = Ref::steal(
      PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
  const char* utf8 = repaired ? PyUnicode_AsUTF8AndSize(repaired.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    drop_error(escaped);
    return {};
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// "QualifiedTypeName: str(exc)", always valid UTF-8. Reading the name or the text can run Python
// code and fail; an Exception then gives the fallback text, anything else is parked.
std::string describe_exception(PyObject* exc, CaughtError& escaped) {
  std::string text;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Ref qualname = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    text = utf8_of_text(qualname.get(), escaped);
  } else {
    if (!qualname) drop_error(escaped);
    text = Py_TYPE(exc)->tp_name;
  }
  text += ": ";
  Ref message = Ref::steal(PyObject_Str(exc));
  if (message) {
    text += utf8_of_text(message.get(), escaped);
    return text;
  }
  drop_error(escaped);
  text += "<exception str() failed>";
  return text;
}

// Whether a value the hook left in the dict says what the one it was given said: the same
// object, or a str of the same characters, which reads back as the same text.
bool same_text(PyObject* value, PyObject* given) {
  if (value == given) return true;
  if (!PyUnicode_Check(value)) return false;
#if !defined(PYPY_VERSION)
  // A hook that rewrites every value mostly writes the same texts anew. An exact str is stored in
  // the narrowest width its characters allow, as the module's own are, so two of the same text
  // have the same width and bytes: one comparison of bytes decides, where PyUnicode_Compare
  // would step through them a character at a time. This is how str's own == compares them;
  // values are short, so the bytes are compared inline, without a call.
  if (PyUnicode_CheckExact(value) && PyUnicode_IS_COMPACT(value)) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    const auto kind = static_cast<std::size_t>(PyUnicode_KIND(value));
    if (length != PyUnicode_GET_LENGTH(given) ||
        kind != static_cast<std::size_t>(PyUnicode_KIND(given))) {
      return false;
    }
    return vexdal::equal_bytes(static_cast<const char*>(PyUnicode_DATA(value)),
                               static_cast<const char*>(PyUnicode_DATA(given)),
                               static_cast<std::size_t>(length) * kind);
  }
#endif
  const int order = PyUnicode_Compare(value, given);
  if (order == -1 && PyErr_Occurred()) {
    PyErr_Clear();  // the text is read again, and any failure reported, as a changed value
    return false;
  }
  return order == 0;
}

}  // namespace

Ref HookSession::header_dict(const vexdal::Header& header) {
  if (!header_) {
    header_ = to_dict(header);
    if (!header_) return {};
  }
  return Ref::steal(PyDict_Copy(header_.get()));
}

Ref HookSession::key_str(vexdal::Text key, std::size_t place) {
  const std::string_view bytes = key.bytes;
  std::pair<vexdal::Text, PyObject*>* at = place < place_count ? &places_[place] : nullptr;
  if (at != nullptr && at->second != nullptr && at->first.charset == key.charset &&
      at->first.bytes.size() == bytes.size() &&
      vexdal::equal_bytes(at->first.bytes.data(), bytes.data(), bytes.size())) {
    return Ref::borrow(at->second);
  }
  const auto byte = [bytes](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  std::uint32_t hash = static_cast<std::uint32_t>(bytes.size()) * 2 +
                       (key.charset == vexdal::Charset::Utf8 ? 1 : 0);
  if (!bytes.empty()) {
    hash = hash * 0x9E3779B1u + byte(bytes.size() - 1);
    hash = hash * 0x9E3779B1u + byte(bytes.size() / 2);
    hash = hash * 0x9E3779B1u + byte(bytes.size() > 1 ? 1 : 0);
  }
  auto& [slot_text, slot_str] = slots_[(hash ^ hash >> 16) % slot_count];
  if (slot_str != nullptr && slot_text.charset == key.charset && slot_text.bytes == bytes) {
    if (at != nullptr) *at = {slot_text, slot_str};
    return Ref::borrow(slot_str);
  }
  auto& made = keys_[static_cast<std::size_t>(key.charset)];
  auto found = made.find(bytes);
  if (found == made.end()) {
    Ref str = to_str(key);
    if (!str || made.size() >= max_keys) return str;
    found = made.emplace(key_texts_.keep(bytes), std::move(str)).first;
  }
  slot_text = vexdal::Text{found->first, key.charset};
  slot_str = found->second.get();
  if (at != nullptr) *at = {slot_text, slot_str};
  return Ref::borrow(slot_str);
}

Ref HookSession::attrs_dict(const vexdal::SectionAttributes& attrs) {
  if (section_number_ != attrs.section()) {
    section_number_ = attrs.section();
    calls_ = 0;
    section_ = Ref();
  }
  const bool last = ++calls_ == hook_count_;
  if (!section_) {
    entries_.clear();
    made_.clear();
    Shape* shape = shape_of(attrs.map());
    // Until a hook writes, the texts are the statement's.
    const bool read = !attrs.changed();
    section_ = shape != nullptr ? dict_from(*shape, attrs.map(), read)
                                : new_dict(attrs.map(), read);
    if (!section_) return {};
  }
  // The section's last hook gets the dict itself: no hook after it needs it as it was.
  if (last) return std::move(section_);
  return Ref::steal(PyDict_Copy(section_.get()));
}

HookSession::Shape* HookSession::shape_of(const vexdal::TextMap& map) {
  const auto matches = [&map](const Shape& shape) {
    if (!shape.dict || shape.keys.size() != map.size() || shape.charset != map.charset()) {
      return false;
    }
    std::size_t i = 0;
    for (const auto& entry : map) {
      const std::string_view key = shape.key(i++);
      if (key.size() != entry.first.size() ||
          !vexdal::equal_bytes(key.data(), entry.first.data(), key.size())) {
        return false;
      }
    }
    return true;
  };
  for (std::size_t tried = 0; tried < shape_count; ++tried) {
    const std::size_t index = (last_shape_ + tried) % shape_count;
    if (matches(shapes_[index])) {
      last_shape_ = index;
      return &shapes_[index];
    }
  }
  return nullptr;
}

Ref HookSession::value_str(vexdal::Text text, std::size_t place, bool read) {
  if (!read) return to_str(text);
  return values_.get(text, std::min(place, StrCache::field_count - 1));
}

Ref HookSession::dict_from(Shape& shape, const vexdal::TextMap& map, bool read) {
  Ref dict = Ref::steal(PyDict_Copy(shape.dict.get()));
  if (!dict) return {};
  const vexdal::Charset charset = map.charset();
  std::size_t i = 0;
  for (const auto& [key, value] : map) {
    Entry entry{shape.keys[i], shape.values[i], {key, charset}, {value, charset}};
    const std::string_view given = shape.value(i);
    if (given.size() != value.size() ||
        !vexdal::equal_bytes(given.data(), value.data(), value.size())) {
      Ref str = value_str(entry.value_text, i, read);
      if (!str || PyDict_SetItem(dict.get(), entry.key, str.get()) < 0) return {};
      entry.value = str.get();
      made_.push_back(std::move(str));
    }
    entries_.push_back(entry);
    ++i;
  }
  return dict;
}

Ref HookSession::new_dict(const vexdal::TextMap& map, bool read) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  const vexdal::Charset charset = map.charset();
  for (const auto& [key, value] : map) {
    Entry entry{nullptr, nullptr, {key, charset}, {value, charset}};
    Ref py_key = key_str(entry.key_text, entries_.size());
    Ref str = py_key ? value_str(entry.value_text, entries_.size(), read) : Ref();
    if (!str || PyDict_SetItem(dict.get(), py_key.get(), str.get()) < 0) return {};
    entry.key = py_key.get();
    entry.value = str.get();
    // Past max_keys the session does not keep the strs of keys.
    made_.push_back(std::move(py_key));
    made_.push_back(std::move(str));
    entries_.push_back(entry);
  }
  // A copy of its own, as the dict itself may be handed to a hook.
  Shape& made = shapes_[next_shape_];
  made.dict = Ref();  // a failure below leaves no shape to match
  made.keys.clear();
  made.values.clear();
  made.bytes.clear();
  made.spans.clear();
  made.charset = charset;
  for (const Entry& entry : entries_) {
    made.keys.push_back(entry.key);
    made.values.push_back(entry.value);
    Shape::Spans spans{made.bytes.size(), entry.key_text.bytes.size(), 0,
                       entry.value_text.bytes.size()};
    made.bytes += entry.key_text.bytes;
    spans.value = made.bytes.size();
    made.bytes += entry.value_text.bytes;
    made.spans.push_back(spans);
  }
  made.dict = Ref::steal(PyDict_Copy(dict.get()));
  if (!made.dict) return {};
  last_shape_ = next_shape_;
  next_shape_ = (next_shape_ + 1) % shape_count;
  return dict;
}

bool HookSession::unchanged(PyObject* dict) const {
  if (PyDict_Size(dict) != static_cast<Py_ssize_t>(entries_.size())) return false;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  for (const Entry& entry : entries_) {
    if (!PyDict_Next(dict, &position, &key, &value)) return false;
    if (key != entry.key || !same_text(value, entry.value)) return false;
  }
  return true;
}

// The entry given under this key object, if any. Keys mostly come back in the order they were
// given, which `next` follows; only when they do not is an index made.
const HookSession::Entry* HookSession::entry_of(PyObject* key, std::size_t& next) {
  if (next < entries_.size() && entries_[next].key == key) return &entries_[next++];
  if (entry_index_.empty()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) entry_index_.emplace(entries_[i].key, i);
  }
  const auto found = entry_index_.find(key);
  if (found == entry_index_.end()) return nullptr;
  next = found->second + 1;
  return &entries_[found->second];
}

// Texts the hook did not change stay the statement's own; only new ones are copied.
bool HookSession::write_back(PyObject* dict, vexdal::SectionAttributes& attrs) {
  section_ = Ref();  // no longer what the attributes hold
  entry_index_.clear();
  attrs.clear();
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  std::size_t next = 0;
  while (PyDict_Next(dict, &position, &key, &value)) {
    const Entry* entry = entry_of(key, next);
    if (entry != nullptr && same_text(value, entry->value)) {
      attrs.put_kept(entry->key_text, entry->value_text);
      continue;
    }
    std::string_view key_text;
    std::string_view value_text;
    if (entry == nullptr && !str_utf8(key, key_text)) return false;
    if (!str_utf8(value, value_text)) return false;
    attrs.put_kept(entry != nullptr ? entry->key_text
                                    : vexdal::Text{attrs.keep(key_text), vexdal::Charset::Utf8},
                   vexdal::Text{attrs.keep(value_text), vexdal::Charset::Utf8});
  }
  entry_index_.clear();
  return true;
}

// parse() holds the interpreter lock from start to end, so the hook runs under it as it is; the
// PyGILState calls would only deadlock in a sub-interpreter, which they do not support.
vexdal::HookResult HookCallable::call(vexdal::SectionType type, vexdal::SectionAttributes& attrs,
                                      const vexdal::Header& header) {
  Ref attrs_dict = session_->attrs_dict(attrs);
  if (!attrs_dict) return failure();
  Ref header_dict = session_->header_dict(header);
  if (!header_dict) return failure();
  Ref section = new_section_type(type);
  if (!section) return failure();

  Ref returned = Ref::steal(PyObject_CallFunctionObjArgs(
      callable_.get(), section.get(), attrs_dict.get(), header_dict.get(), nullptr));
  if (!returned) return failure();

  // Only the dict object the hook was given counts; whatever it returned is ignored. A dict
  // that says what it said leaves the section as it stands.
  if (session_->unchanged(attrs_dict.get())) return std::monostate{};
  if (!session_->write_back(attrs_dict.get(), attrs)) return failure();
  return std::monostate{};
}

vexdal::HookResult HookCallable::failure() {
  CaughtError caught = CaughtError::take();
  if (!caught.is_reportable()) {
    // Not ours to turn into text: parse() raises it unchanged once the parser has stopped.
    *escaped_ = std::move(caught);
    return vexdal::fail(std::string());
  }
  return vexdal::fail(describe_exception(caught.value(), *escaped_));
}

}  // namespace vexdal_py
