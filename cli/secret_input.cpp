#include "cli/secret_input.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <array>
#include <cerrno>

#include "base/failure.h"
#include "base/whole_file.h"

namespace zezi {
namespace {

constexpr std::size_t kMaxPromptedLength = 1024;
// Ctrl-C, read as an ordinary character while signals from the keyboard are off.
constexpr char kInterrupt = '\x03';

}  // namespace

std::string inputName(std::string_view path) {
  return path == "-" ? std::string("standard input") : std::string(path);
}

bool openInputFile(const std::string& path, std::string_view name, int flags, UniqueFd* out,
                   std::string* error, struct stat* info) {
  switch (openRegularFile(path, flags, out, info)) {
    case FileOpening::kOpened:
      return true;
    case FileOpening::kNotRegular:
      return failWith(error, std::string(name) + " is not a regular file");
    case FileOpening::kFailed:
      break;
  }
  return failWith(error, systemError("cannot read " + std::string(name)));
}

bool readInput(const std::string& path, std::size_t maxSize, SecretText* out, std::string* error,
               std::string_view shownAs) {
  const std::string name = shownAs.empty() ? inputName(path) : std::string(shownAs);
  if (path == "-") {
    switch (readAll(STDIN_FILENO, maxSize, out)) {
      case WholeRead::kRead:
        return true;
      case WholeRead::kTooLarge:
        return failWith(error, name + " is too large");
      case WholeRead::kFailed:
        break;
    }
    return failWith(error, systemError("cannot read " + name));
  }
  switch (readWholeFile(AT_FDCWD, path, Symlinks::kFollow, maxSize, out)) {
    case WholeFile::kRead:
      return true;
    case WholeFile::kNotRegular:
      return failWith(error, name + " is not a regular file");
    case WholeFile::kTooLarge:
      return failWith(error, name + " is too large");
    case WholeFile::kMissing:
    case WholeFile::kSymlink:
    case WholeFile::kFolder:
    case WholeFile::kFailed:
      break;
  }
  return failWith(error, systemError("cannot read " + name));
}

void stripLineEnd(SecretText* text) {
  if (text->ends_with("\r\n")) {
    text->resize(text->size() - 2);
  } else if (text->ends_with('\n')) {
    text->pop_back();
  }
}

bool haveTerminal() {
  const UniqueFd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  return tty.get() >= 0;
}

bool promptSecret(std::string_view prompt, SecretText* out, std::string* error) {
  const UniqueFd tty(open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  termios saved{};
  if (tty.get() < 0 || tcgetattr(tty.get(), &saved) != 0) {
    return failWith(error, systemError("cannot prompt on the terminal"));
  }
  // Keyboard signals are off too, so that Ctrl-C cannot end the process with echo still
  // off; it is read as a character and cancels the prompt instead.
  termios silent = saved;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ISIG);
  if (tcsetattr(tty.get(), TCSANOW, &silent) != 0 ||
      write(tty.get(), prompt.data(), prompt.size()) < 0) {
    tcsetattr(tty.get(), TCSANOW, &saved);
    return failWith(error, systemError("cannot prompt on the terminal"));
  }
  SecretText line;
  line.reserve(kMaxPromptedLength + 1);
  char c = 0;
  ssize_t count = 0;
  while ((count = readSome(tty.get(), &c, 1)) == 1 && c != '\n' && c != kInterrupt &&
         line.size() <= kMaxPromptedLength) {
    line += c;
  }
  // Echo back on, then the line end that was typed unseen; nothing to do if either fails.
  [[maybe_unused]] const bool restored =
      tcsetattr(tty.get(), TCSANOW, &saved) == 0 && write(tty.get(), "\n", 1) == 1;
  if (count < 0) {
    return failWith(error, systemError("cannot read the terminal"));
  }
  if (c == kInterrupt) {
    return failWith(error, "cancelled");
  }
  if (count == 0 && line.empty()) {
    return failWith(error, "nothing entered");
  }
  if (line.size() > kMaxPromptedLength) {
    return failWith(error, "entry too long");
  }
  *out = std::move(line);
  return true;
}

}  // namespace zezi
