// Names inside reprs: quoted, with anything that would not read back as
// itself (controls, invisible or combining characters) spelled out.
#pragma once

#include <string>
#include <string_view>

namespace karvo {

// Appends '"' + escaped name + '"' to out.
void append_quoted_name(std::string& out, std::string_view utf8_name);

}  // namespace karvo
