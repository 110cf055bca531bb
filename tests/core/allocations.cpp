// Every allocation of a parse made to fail in turn: the global operator new of this executable
// fails the Nth allocation once it is armed, and each parse must then end in the OutOfMemory
// failure or, where the failed allocation was not needed after all, in the very result it has
// without the failure. Never a crash, another failure or a record that differs.
#include <cstdlib>
#include <new>

#include "core_tests.hpp"

namespace {

// The allocation to fail, counted from the arming; 0 while disarmed. The test is single-threaded.
std::size_t fail_at = 0;
std::size_t allocated = 0;

void* allocate(std::size_t size) {
  if (fail_at != 0 && ++allocated == fail_at) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

// Every form that allocates is replaced, so that a sanitizer's own never pairs with the free below.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace vexdal_test {
namespace {

// Rewrites every value of every section, as a caller's hook does through the same interface:
// the hook's own strings are allocations of the parse too.
class RewritingHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType, vexdal::SectionAttributes& attrs,
                          const vexdal::Header&) override {
    std::vector<std::pair<std::string, std::string>> entries;
    const vexdal::TextMap& map = attrs.map();
    for (const auto& [key, value] : map) {
      entries.emplace_back(vexdal::utf8_string({key, map.charset()}),
                           vexdal::utf8_string({value, map.charset()}));
    }
    attrs.clear();
    for (const auto& [key, value] : entries) attrs.put(key, key == "Сумма" ? "1e2" : value);
    return std::monostate{};
  }
};

class FailingHook final : public vexdal::Hook {
 public:
  vexdal::HookResult call(vexdal::SectionType, vexdal::SectionAttributes&,
                          const vexdal::Header&) override {
    return vexdal::fail(std::string("отказ"));
  }
};

// A document, an account, and a document that becomes a warning.
constexpr std::string_view statement =
    "1CClientBankExchange\r\n"
    "ВерсияФормата=1.03\r\n"
    "Кодировка=Windows\r\n"
    "Отправитель=Бухгалтерия\r\n"
    "Отправитель=Бухгалтерия «Ёлка»\r\n"
    "\r\n"
    "СекцияДокумент=Платежное поручение\r\n"
    "Номер=17\r\n"
    "Дата=05.03.2024\r\n"
    "Сумма=1500.50\r\n"
    "ПлательщикСчет=40702810900000001234\r\n"
    "ПлательщикИНН=7701234567\r\n"
    "ПлательщикБИК=044525225\r\n"
    "ПлательщикБанк1=ПАО СБЕРБАНК\r\n"
    "ПолучательСчет=40702810400000005678\r\n"
    "ПолучательИНН=7809876543\r\n"
    "ПолучательБИК=044030653\r\n"
    "ПолучательБанк1=СЕВЕРО-ЗАПАДНЫЙ БАНК\r\n"
    "НазначениеПлатежа=Оплата по счёту № 42\r\n"
    "КонецДокумента\r\n"
    "СекцияРасчСчет\r\n"
    "ДатаНачала=01.03.2024\r\n"
    "ДатаКонца=31.03.2024\r\n"
    "РасчСчет=40702810900000001234\r\n"
    "НачальныйОстаток=10000.00\r\n"
    "ВсегоСписано=1500.50\r\n"
    "КонечныйОстаток=8499.50\r\n"
    "КонецРасчСчет\r\n"
    "СекцияДокумент=Банковский ордер\r\n"
    "Номер=18\r\n"
    "Сумма=12,50 руб\r\n"
    "КонецДокумента\r\n"
    "КонецФайла\r\n";

// The outcome as text, records and all, made while nothing is armed.
std::string outcome(const ParseResult& parsed) {
  return parsed ? summary(parsed) + "\n" + dump(parsed.value()) : summary(parsed);
}

void sweep(Checker& checker, const std::string& input, const std::vector<vexdal::Hook*>& hooks) {
  const ParseResult unarmed = vexdal::parse_statement(input, hooks);
  const std::string expected = outcome(unarmed);
  std::size_t failed = 0;
  for (std::size_t n = 1;; ++n) {
    allocated = 0;
    fail_at = n;
    ParseResult parsed = vexdal::parse_statement(input, hooks);
    fail_at = 0;
    const bool reached = allocated >= n;
    if (!parsed && parsed.error().kind == vexdal::ErrorKind::OutOfMemory) {
      ++failed;
      if (!VEXDAL_CHECK(checker, reached)) return;
      continue;
    }
    Checker::Case name(checker, "allocation " + std::to_string(n));
    if (!VEXDAL_CHECK_EQUAL(checker, outcome(parsed), expected)) return;
    if (!reached) break;
  }
  // A statement that parses allocates its records: a sweep that failed nothing tested nothing.
  if (unarmed) VEXDAL_CHECK(checker, failed > 0);
}

}  // namespace

void check_allocation_failures(Checker& checker) {
  RewritingHook rewriting;
  FailingHook failing;
  const std::string cp1251 = windows_1251(statement);
  const std::string unrecognized = std::string(statement.substr(0, statement.find("\r\n\r\n"))) +
                                   "\r\nЛевая строка, которой нет места в выписке\r\n";
  const struct {
    const char* name;
    std::string input;
    std::vector<vexdal::Hook*> hooks;
  } cases[] = {
      {"utf-8", std::string(statement), {}},
      {"windows-1251", cp1251, {}},
      {"windows-1251, rewriting hooks", cp1251, {&rewriting, &rewriting}},
      {"utf-8, rewriting hook", std::string(statement), {&rewriting}},
      {"failing hook", cp1251, {&rewriting, &failing}},
      {"unrecognized line", unrecognized, {}},
      {"unrecognized line, hook", unrecognized, {&rewriting}},
      {"unfinished", std::string(statement.substr(0, statement.size() - 12)), {}},
      {"not a statement", "1CClientBankExchange\r", {}},
  };
  for (const auto& one : cases) {
    Checker::Case name(checker, one.name);
    sweep(checker, one.input, one.hooks);
  }
}

}  // namespace vexdal_test
