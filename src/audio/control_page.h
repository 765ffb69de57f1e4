#pragma once
// The remote control's web page: one document with its styles and script, in the skin's colours.

#include <string_view>

namespace loudara {

std::string_view ControlPageHtml();

}  // namespace loudara
