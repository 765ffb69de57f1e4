#pragma once
// Small text helpers shared by every floor that reads file names.

#include <cctype>
#include <cstddef>
#include <string_view>

namespace loudara {

// Does `text` end in `suffix` (given in lower case), letter case ignored? ".WAV" ends in ".wav".
inline bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size()) return false;
    const std::size_t from = text.size() - suffix.size();
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[from + i])) != suffix[i]) return false;
    }
    return true;
}

}  // namespace loudara
