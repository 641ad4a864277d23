// Reading inputs that may hold secrets: files, standard input and a terminal prompt.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// Where an input path is read from: "-" is standard input.
[[nodiscard]] std::string inputName(std::string_view path);

// Reads all of `path` ("-" for standard input) into `*out`. Fails, touching nothing, when
// it cannot be read or holds more than `maxSize` octets. Messages name the input as
// `shownAs`, or by inputName when that is empty.
[[nodiscard]] bool readInput(const std::string& path, std::size_t maxSize, SecretText* out,
                             std::string* error, std::string_view shownAs = {});

// Removes one trailing "\n" or "\r\n".
void stripLineEnd(SecretText* text);

// True when a terminal can be opened to prompt on.
[[nodiscard]] bool haveTerminal();

// Shows `prompt` on the terminal and reads one line with echo turned off, without its
// line end.
[[nodiscard]] bool promptSecret(std::string_view prompt, SecretText* out, std::string* error);

}  // namespace zezi
