// Opens a URL in the user's browser through xdg-open, without waiting for the browser.
#pragma once

#include <string>

namespace Mivo::Cli::View {

// Empty when xdg-open was started; otherwise why no browser could be opened.
std::string OpenInBrowser(const std::string& url);

}  // namespace Mivo::Cli::View
