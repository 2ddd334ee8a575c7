// Small text helpers shared by the commands.
#pragma once

#include <string>
#include <string_view>

namespace Mivo::Cli {

// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// Shortest text that reads back as the same float ("12.5", "-0.0223517").
std::string FloatText(float value);

}  // namespace Mivo::Cli
