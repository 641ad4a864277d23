#include "device/drive_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <set>
#include <string_view>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "base/whole_file.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"

namespace zezi {
namespace {

// Subfolders named when the top holds no envelope: enough to point at the mistake.
constexpr std::size_t kMaxFoldersNamed = 4;

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
  switch (readWholeFile(folder, name, Symlinks::kNoFollow, maxSize, out)) {
    case WholeFile::kRead:
      return SourceRead::kRead;
    case WholeFile::kMissing:
      return SourceRead::kMissing;
    case WholeFile::kSymlink:
      *why = "a symlink, which is never followed";
      return SourceRead::kRefused;
    case WholeFile::kFolder:
    case WholeFile::kNotRegular:
      *why = "not a regular file";
      return SourceRead::kRefused;
    case WholeFile::kTooLarge:
      *why = "too large";
      return SourceRead::kRefused;
    case WholeFile::kFailed:
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
  const std::string signatureName = name + std::string(kSignatureFileSuffix);
  std::string signature;
  switch (readSourceFile(folder, signatureName, kMaxSignatureFileSize, &signature, &why)) {
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

bool isEnvelopeName(std::string_view name) {
  return !name.starts_with('.') && hasJsonSuffix(name);
}

// Whether the subfolder `name` of `folder` holds an envelope at its top.
bool holdsEnvelopes(int folder, const char* name) {
  UniqueFd inner(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  bool found = false;
  return inner.get() >= 0 &&
         forEachEntry(
             inner.get(),
             [&](const dirent& entry) { found = found || isEnvelopeName(entry.d_name); }) &&
         found;
}

// Adds `name` to the first names in order, never more than a source is read for; false
// when one name had to go (`name` itself or the last before it).
bool keepFirstNames(std::string name, std::set<std::string>* names) {
  names->insert(std::move(name));
  if (names->size() <= kMaxEnvelopesPerSource) {
    return true;
  }
  names->erase(std::prev(names->end()));
  return false;
}

}  // namespace

bool readSource(const std::string& folderPath, const std::string& envelopePath, SourceListing* out,
                std::string* error) {
  const bool one = !envelopePath.empty();
  UniqueFd folder;
  if (!openFolder(one ? folderOf(envelopePath) : folderPath, &folder)) {
    return failWith(error, systemError(one ? "cannot read the envelope's folder"
                                           : "cannot read the source folder"));
  }
  // The first names in order, never more than a drive may hold: a drive of many thousand
  // files costs no more memory than one of a full set.
  std::set<std::string> names;
  std::vector<std::string> subfolders;
  if (one) {
    names.insert(std::filesystem::path(envelopePath).filename().string());
  } else if (!forEachEntry(folder.get(), [&](const dirent& entry) {
               const std::string_view name = entry.d_name;
               if (isEnvelopeName(name)) {
                 out->notRead += keepFirstNames(std::string(name), &names) ? 0U : 1U;
               } else if ((entry.d_type == DT_DIR || entry.d_type == DT_UNKNOWN) &&
                          !name.starts_with('.') && subfolders.size() < kMaxFoldersNamed) {
                 subfolders.emplace_back(name);
               }
             })) {
    return failWith(error, systemError("cannot read the source folder"));
  }
  if (names.empty()) {
    std::sort(subfolders.begin(), subfolders.end());
    std::copy_if(
        subfolders.begin(), subfolders.end(), std::back_inserter(out->foldersWithEnvelopes),
        [&](const std::string& name) { return holdsEnvelopes(folder.get(), name.c_str()); });
  }
  std::transform(names.begin(), names.end(), std::back_inserter(out->candidates),
                 [&folder](const std::string& name) { return readCandidate(folder.get(), name); });
  return true;
}

}  // namespace zezi
