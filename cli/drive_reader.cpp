#include "cli/drive_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string_view>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "cli/atomic_file.h"
#include "cli/signing.h"
#include "opener/open_envelope.h"

namespace zezi {
namespace {

// Read whole so that the verifier, not the reader, judges a file over 1 KiB.
constexpr std::size_t kMaxSignatureRead = std::size_t{64} * 1024;

bool hasJsonSuffix(std::string_view name) {
  constexpr std::string_view kSuffix = ".json";
  if (name.size() <= kSuffix.size()) {
    return false;
  }
  const std::string_view end = name.substr(name.size() - kSuffix.size());
  return std::equal(end.begin(), end.end(), kSuffix.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

enum class SourceRead : std::uint8_t { kRead, kMissing, kRefused };

// Reads `name` at the top of `folder`: a regular file only (never a symlink, FIFO or
// device, and never waiting on one), at most `maxSize` octets.
template <typename Container>
SourceRead readSourceFile(int folder, const std::string& name, std::size_t maxSize, Container* out,
                          std::string* why) {
  UniqueFd file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == ENOENT) {
      return SourceRead::kMissing;
    }
    *why = errno == ELOOP ? "a symlink, which is never followed" : systemError("cannot be read");
    return SourceRead::kRefused;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *why = "not a regular file";
    return SourceRead::kRefused;
  }
  switch (readAll(file.get(), maxSize, out)) {
    case WholeRead::kRead:
      return SourceRead::kRead;
    case WholeRead::kTooLarge:
      *why = "too large";
      return SourceRead::kRefused;
    case WholeRead::kFailed:
      break;
  }
  *why = systemError("cannot be read");
  return SourceRead::kRefused;
}

Candidate readCandidate(int folder, const std::string& name) {
  Candidate candidate;
  candidate.name = name;
  std::string why;
  if (readSourceFile(folder, name, kMaxEnvelopeSize, &candidate.envelope, &why) !=
      SourceRead::kRead) {
    candidate.readError = why.empty() ? std::string("missing") : why;
    return candidate;
  }
  const std::string signatureName =
      std::filesystem::path(signaturePathOf(name)).filename().string();
  std::string signature;
  switch (readSourceFile(folder, signatureName, kMaxSignatureRead, &signature, &why)) {
    case SourceRead::kRead:
      candidate.signatureFile = std::move(signature);
      break;
    case SourceRead::kMissing:
      break;
    case SourceRead::kRefused:
      candidate.readError = "its signature file is " + why;
      break;
  }
  return candidate;
}

}  // namespace

bool readCandidates(const std::string& folderPath, const std::string& envelopePath,
                    std::vector<Candidate>* out, std::string* error) {
  const bool one = !envelopePath.empty();
  UniqueFd folder;
  if (!openFolder(one ? folderOf(envelopePath) : folderPath, &folder)) {
    return failWith(error, systemError(one ? "cannot read the envelope's folder"
                                           : "cannot read the source folder"));
  }
  std::vector<std::string> names;
  if (one) {
    names.push_back(std::filesystem::path(envelopePath).filename().string());
  } else {
    const int listed = ::dup(folder.get());
    DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
    if (entries == nullptr) {
      if (listed >= 0) {
        ::close(listed);
      }
      return failWith(error, systemError("cannot read the source folder"));
    }
    while (const dirent* entry = ::readdir(entries)) {
      const std::string_view name = entry->d_name;
      if (!name.starts_with('.') && hasJsonSuffix(name)) {
        names.emplace_back(name);
      }
    }
    ::closedir(entries);
    std::sort(names.begin(), names.end());
  }
  std::transform(names.begin(), names.end(), std::back_inserter(*out),
                 [&folder](const std::string& name) { return readCandidate(folder.get(), name); });
  return true;
}

}  // namespace zezi
