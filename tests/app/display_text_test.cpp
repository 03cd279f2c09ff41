// Texts from a link shown to the user or written to the logs: markup taken literally, control
// characters never reaching a notification or a log line.
#include "common/display_text.h"

#include <gtest/gtest.h>

namespace {

TEST(DisplayText, MarkupAndControlsOfARemotePath) {
  const struct {
    const char* name;
    std::wstring in, markup, controls;
  } cases[] = {
      {"plain path", L"/docs/a b.txt", L"/docs/a b.txt", L"/docs/a b.txt"},
      {"tags and entities", L"/<b>x</b>&amp;", L"/&lt;b&gt;x&lt;/b&gt;&amp;amp;",
       L"/<b>x</b>&amp;"},
      {"quotes", L"it's \"q\"", L"it&#39;s &quot;q&quot;", L"it's \"q\""},
      {"line break, tab, escape, DEL", L"a\nb\tc\x1b[31md\x7f", L"a\nb\tc\x1b[31md\x7f",
       L"a?b?c?[31md?"},
      {"C1 control, then text beside it kept", L"x\x9by\xa0\x4e2d", L"x\x9by\xa0\x4e2d",
       L"x?y\xa0\x4e2d"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(plumet_text::MarkupEscaped(c.in), c.markup) << c.name;
    EXPECT_EQ(plumet_text::ControlsReplaced(c.in), c.controls) << c.name;
  }
}

TEST(DisplayText, LogLinesKeepUtf8ButNoControls) {
  const struct {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"plain", "upload of /docs/a.txt failed", "upload of /docs/a.txt failed"},
      {"forged second line", "/a\nplumet: all good\r", "/a?plumet: all good?"},
      {"terminal escape and DEL", "\x1b]0;title\x07\x7f", "?]0;title??"},
      {"C1 control as UTF-8",
       "a\xc2\x9b"
       "31m",
       "a?31m"},
      // Continuation bytes 0x80..0x9F are not controls: 中 is E4 B8 AD, é is C3 A9, Ā is C4 80.
      {"multi-byte characters kept", "\xe4\xb8\xad \xc3\xa9 \xc4\x80 \xc2\xa0",
       "\xe4\xb8\xad \xc3\xa9 \xc4\x80 \xc2\xa0"},
      {"a lone 0xC2 at the end", "x\xc2", "x\xc2"},
  };
  for (const auto& c : cases) EXPECT_EQ(plumet_text::ControlsReplacedUtf8(c.in), c.out) << c.name;
}

}  // namespace
