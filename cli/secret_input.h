// Reading inputs that may hold secrets: files, standard input and a terminal prompt.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "base/file_descriptor.h"
#include "crypto/types.h"

namespace zezi {

// Where an input path is read from: "-" is standard input.
[[nodiscard]] std::string inputName(std::string_view path);

// Opens the file `path` with `flags` as openRegularFile does (never waiting on a FIFO or a
// device), naming it `name` in the messages: "cannot read <name>: <reason>" or "<name> is
// not a regular file". `*info` gets its status when given.
[[nodiscard]] bool openInputFile(const std::string& path, std::string_view name, int flags,
                                 UniqueFd* out, std::string* error, struct stat* info = nullptr);

// Reads all of `path` ("-" for standard input; otherwise a regular file, as readWholeFile
// reads it) into `*out`, and writes nothing anywhere. Fails, touching nothing, when it cannot
// be read or holds more than `maxSize` octets. Messages name the input as `shownAs`, or by
// inputName when that is empty.
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
