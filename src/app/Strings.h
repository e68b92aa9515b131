#pragma once

namespace quill {

// Registers the application's English texts for its localized keys.
void registerLocalizedStrings();

}  // namespace quill
