#pragma once
// The one reader of an HTTP status line on the client side (REST library, upload engine, token
// exchange, download), so that every path takes and refuses the same answers.

#include <optional>
#include <string_view>

namespace plumet_text {

// The status of the final answer in the header text libcurl collected (common/answer_head.h picks
// the block; empty lines before it are skipped). The line is "HTTP/<version> <code>[ <reason>]",
// "HTTP/" in any case, the version digits and dots, one or more spaces before a code of exactly
// three digits from 100 to 599, then a space or the end of the line (CRLF or a bare LF). Nothing
// when there is no such line: a code that is cut, too long, out of range or glued to other
// characters is not read as some other number.
std::optional<int> FinalAnswerStatus(std::string_view headers);

}  // namespace plumet_text
