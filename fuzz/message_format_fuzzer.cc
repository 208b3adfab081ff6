// FormatMessageText over any text with up to four inserts, texts or numbers. Each insert text and
// the message text sit in heap blocks of exactly their size, so a read past any of them is an
// AddressSanitizer report. The output stays within a bound set by the text and the inserts, a
// text without % is kept as it is, and the library's own messages take their inserts verbatim
// (an insert that holds %1 is not expanded again).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "resources/messages.h"

namespace {

// A heap block holding exactly the bytes of `text`, no terminator.
std::vector<char> Exact(const std::string& text) {
  return {text.begin(), text.end()};
}
std::string_view View(const std::vector<char>& bytes) {
  return {bytes.data(), bytes.size()};
}

std::string Format(std::string_view text, const std::vector<MessageInsert>& in) {
  switch (in.size()) {
    case 0:
      return FormatMessageText(text, {});
    case 1:
      return FormatMessageText(text, {in[0]});
    case 2:
      return FormatMessageText(text, {in[0], in[1]});
    case 3:
      return FormatMessageText(text, {in[0], in[1], in[2]});
    default:
      return FormatMessageText(text, {in[0], in[1], in[2], in[3]});
  }
}

// The table's messages use plain %1 and %2 only.
std::string ExpandPlain(std::string_view text, std::string_view first, std::string_view second) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == '1' || text[i + 1] == '2')) {
      out.append(text[i + 1] == '1' ? first : second);
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::uint32_t> TableIds() {
  std::vector<std::uint32_t> ids;
  for (std::uint32_t id = 20000; id < 20200; ++id) {
    if (!LoadMessage(id).empty()) ids.push_back(id);
  }
  return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<std::uint32_t> kIds = TableIds();
  FuzzedDataProvider input(data, size);

  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 4);
  std::vector<std::vector<char>> texts;  // growing moves them, not their heap blocks
  std::vector<MessageInsert> inserts;
  std::size_t longestInsert = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (input.ConsumeBool()) {
      inserts.emplace_back(input.ConsumeIntegral<long long>());
    } else {
      texts.push_back(Exact(input.ConsumeRandomLengthString(64)));
      inserts.emplace_back(View(texts.back()));
      longestInsert = std::max(longestInsert, texts.back().size());
    }
  }
  const std::uint32_t id = kIds[input.ConsumeIntegralInRange<std::size_t>(0, kIds.size() - 1)];
  const std::vector<char> text = Exact(input.ConsumeRemainingBytesAsString());

  const std::string out = Format(View(text), inserts);
  const auto percents = static_cast<std::size_t>(std::count(text.begin(), text.end(), '%'));
  if (percents == 0) FUZZ_CHECK(out == View(text));
  // Each % sequence gives at most one insert, or a number of at most 127 characters.
  FUZZ_CHECK(out.size() <= text.size() + percents * std::max<std::size_t>(longestInsert, 127));

  if (texts.size() >= 2) {
    const std::string_view first = View(texts[0]), second = View(texts[1]);
    FUZZ_CHECK(FormatMessageId(id, {first, second}) == ExpandPlain(LoadMessage(id), first, second));
  }
  return 0;
}
