// JSON text for the skyhelm-doc commands: UTF-16 strings written as UTF-8 JSON strings.
#pragma once

#include <string>
#include <string_view>

namespace skyhelm_doc {

// Appends text as a quoted JSON string in UTF-8. Surrogate pairs become one UTF-8 sequence; a
// lone surrogate and every control unit are written as \uXXXX.
void AppendJsonString(std::string* out, std::u16string_view text);

}  // namespace skyhelm_doc
