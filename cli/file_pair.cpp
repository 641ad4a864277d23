#include "cli/file_pair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "base/failure.h"
#include "base/whole_file.h"
#include "cli/atomic_file.h"
#include "cli/secret_input.h"
#include "crypto/sha256.h"
#include "crypto/types.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

// How a pair is written, so that a later run can finish or undo it from any moment:
//   1. a journal, ".<name>.pair", beside each target, naming both targets and the SHA-256
//      of each new content, so that a run touching either file finds it;
//   2. each new file in full under ".<name>.new" beside its target;
//   3. each staged file renamed over its target (where files are written in place, the
//      target is removed and written anew from the staged file, which is then removed);
//   4. the journals removed, the first target's last.
// A run that finds a journal looks at both targets: when each new content is staged whole
// or already in place, it does steps 3 and 4; otherwise the process died before step 2
// ended, and the staged files and journals are removed, leaving the old pair. The first
// target's journal is written first and removed last, so a run touching the first target
// (the private key, the envelope) always finds what is left; one touching only the second
// finds all but, at two moments, that journal alone, which holds no secret.

constexpr std::string_view kJournalHeading = "zezi-vidad pair\n";
constexpr std::size_t kMaxPairFileSize = std::size_t{64} * 1024;
constexpr mode_t kJournalMode = 0644;
// Where files are written in place there are no modes to keep.
constexpr mode_t kInPlaceMode = 0644;

std::string stagedName(const std::string& name) {
  return "." + name + ".new";
}

std::string journalName(const std::string& name) {
  return "." + name + ".pair";
}

// One target of a pair, its folder open.
struct Member {
  std::string target;    // for messages
  std::string name;      // in folder
  std::string absolute;  // the folder's canonical path and the name
  UniqueFd folder;
  bool inPlace = false;
  Digest digest{};
};

bool openFolder(const std::string& target, Member* member) {
  member->target = target;
  member->name = std::filesystem::path(target).filename().string();
  return openFolder(folderOf(target), &member->folder) && !member->name.empty();
}

// openFolder, and what the journal needs: the full path and the way files are written.
bool openMember(const std::string& target, Member* member) {
  if (!openFolder(target, member)) {
    return false;
  }
  std::error_code failure;
  const std::filesystem::path folder = std::filesystem::canonical(folderOf(target), failure);
  if (failure) {
    errno = failure.value();
    return false;
  }
  member->absolute = (folder / member->name).string();
  member->inPlace = writesInPlace(member->folder.get());
  return true;
}

bool existsAt(const Member& member, const std::string& name) {
  struct stat info {};
  return fstatat(member.folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

void removeAt(const Member& member, const std::string& name) {
  unlinkat(member.folder.get(), name.c_str(), 0);
}

bool syncFolders(const std::array<Member, 2>& members, std::string* error) {
  const auto* const unflushed =
      std::find_if(members.begin(), members.end(),
                   [](const Member& member) { return fsync(member.folder.get()) != 0; });
  return unflushed == members.end() ||
         failWith(error, systemError("cannot flush the folder of " + unflushed->target));
}

// The whole of the regular file `name` beside `member`, when it is there and small.
std::optional<SecretText> readAt(const Member& member, const std::string& name) {
  SecretText text;
  if (readWholeFile(member.folder.get(), name, Symlinks::kNoFollow, kMaxPairFileSize, &text) !=
      WholeFile::kRead) {
    return std::nullopt;
  }
  return text;
}

std::string journalText(const std::array<Member, 2>& members) {
  std::string text(kJournalHeading);
  for (const Member& member : members) {
    text += hexEncode(textToBytes(member.absolute)) + " " +
            hexEncode(Bytes(member.digest.begin(), member.digest.end())) + "\n";
  }
  return text;
}

struct JournalEntry {
  std::string absolute;
  Digest digest{};
};

bool parseJournal(std::string_view text, std::array<JournalEntry, 2>* entries) {
  if (!text.starts_with(kJournalHeading)) {
    return false;
  }
  text.remove_prefix(kJournalHeading.size());
  for (JournalEntry& entry : *entries) {
    const std::size_t end = text.find('\n');
    const std::size_t space = text.find(' ');
    if (end == std::string_view::npos || space > end) {
      return false;
    }
    const Bytes path = hexDecode(text.substr(0, space));
    const Bytes digest = hexDecode(text.substr(space + 1, end - space - 1));
    if (path.empty() || digest.size() != entry.digest.size()) {
      return false;
    }
    entry.absolute.assign(path.begin(), path.end());
    std::copy(digest.begin(), digest.end(), entry.digest.begin());
    text.remove_prefix(end + 1);
  }
  return text.empty();
}

bool holds(const std::optional<SecretText>& content, const Digest& digest) {
  Digest found{};
  return content && sha256(std::string_view(*content), &found) && found == digest;
}

// Puts the staged file of `member` in place of its target.
bool placeStaged(const Member& member, std::string* error) {
  const int folder = member.folder.get();
  const std::string staged = stagedName(member.name);
  if (!member.inPlace) {
    return renameat(folder, staged.c_str(), folder, member.name.c_str()) == 0 ||
           failWith(error, systemError("cannot write " + member.target));
  }
  // Again from the start when an earlier run died halfway through.
  const std::optional<SecretText> content = readAt(member, staged);
  if (!content || (unlinkat(folder, member.name.c_str(), 0) != 0 && errno != ENOENT)) {
    return failWith(error, systemError("cannot write " + member.target));
  }
  if (!createFileAt(folder, member.name, *content, kInPlaceMode, member.target, error)) {
    return false;
  }
  removeAt(member, staged);
  return true;
}

// The first target's journal goes last, so that whatever is left of a pair a run that
// touches the first target finds.
void removeJournals(const std::array<Member, 2>& members) {
  removeAt(members[1], journalName(members[1].name));
  removeAt(members[0], journalName(members[0].name));
}

// Steps 3 and 4 when both new contents are whole, else the removal of what was written.
bool finishOrUndo(const std::array<Member, 2>& members, std::string* error) {
  bool whole = true;
  std::array<bool, 2> staged{};
  for (std::size_t i = 0; i < members.size(); ++i) {
    staged[i] = holds(readAt(members[i], stagedName(members[i].name)), members[i].digest);
    whole = whole && (staged[i] || holds(readAt(members[i], members[i].name), members[i].digest));
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!whole) {
      removeAt(members[i], stagedName(members[i].name));
    } else if (staged[i] && !placeStaged(members[i], error)) {
      return false;
    }
  }
  if (!syncFolders(members, error)) {
    return false;
  }
  removeJournals(members);
  return syncFolders(members, error);
}

// Opens the folder of `file`'s target and checks the target, before anything is written.
bool prepareMember(const PairFile& file, bool replace, Member* member, std::string* error) {
  if (!openMember(file.target, member)) {
    return failWith(error, systemError("cannot write " + file.target));
  }
  if (!sha256(file.content, &member->digest)) {
    return failWith(error, "cannot write " + file.target + ": cannot hash it");
  }
  if (member->inPlace && isPrivateMode(file.mode)) {
    return failWith(error, unprotectedMessage(file.target, file.mode));
  }
  struct stat info {};
  if (fstatat(member->folder.get(), member->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return true;
  }
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return failWith(error, systemError("cannot write " + file.target));
  }
  return replace || failWith(error, existsMessage(file.target));
}

// Steps 1 and 2; on failure what was written is removed, the first journal last.
bool stageBoth(const std::array<const PairFile*, 2>& files, const std::array<Member, 2>& members,
               std::string* error) {
  const std::string journal = journalText(members);
  const auto create = [&](std::size_t i, const std::string& name, std::string_view content,
                          mode_t mode) {
    return createFileAt(members[i].folder.get(), name, content, mode, members[i].target, error);
  };
  std::size_t journals = 0;  // written whole; createFileAt removes one it fails to write
  while (journals < members.size() &&
         create(journals, journalName(members[journals].name), journal, kJournalMode)) {
    ++journals;
  }
  std::size_t staged = 0;
  if (journals == members.size() && syncFolders(members, error)) {
    while (staged < members.size() && create(staged, stagedName(members[staged].name),
                                             files[staged]->content, files[staged]->mode)) {
      ++staged;
    }
  }
  if (staged == members.size()) {
    return true;
  }
  for (std::size_t i = 0; i < staged; ++i) {
    removeAt(members[i], stagedName(members[i].name));
  }
  for (std::size_t i = journals; i > 0; --i) {
    removeAt(members[i - 1], journalName(members[i - 1].name));
  }
  return false;
}

}  // namespace

bool settleInterruptedPair(const std::string& path, std::string* error) {
  const StopSignalsHeld held;
  Member self;
  if (path.empty() || path == "-" || !openFolder(path, &self)) {
    return true;
  }
  const std::string journal = journalName(self.name);
  if (!existsAt(self, journal) && !existsAt(self, stagedName(self.name))) {
    return true;
  }
  const std::string message = "cannot finish the interrupted writing of " + path;
  const std::optional<SecretText> text = readAt(self, journal);
  std::array<JournalEntry, 2> entries;
  if (!openMember(path, &self)) {
    return failWith(error, systemError(message));
  }
  if (!text || !parseJournal(*text, &entries) ||
      (entries[0].absolute != self.absolute && entries[1].absolute != self.absolute)) {
    // Torn while it was written, or left from another pair: nothing was staged after it.
    removeAt(self, stagedName(self.name));
    removeAt(self, journal);
    return fsync(self.folder.get()) == 0 || failWith(error, systemError(message));
  }
  std::array<Member, 2> members;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!openMember(entries[i].absolute, &members[i])) {
      return failWith(error, systemError(message));
    }
    members[i].digest = entries[i].digest;
  }
  return finishOrUndo(members, error);
}

bool writeFilePair(const PairFile& first, const PairFile& second, bool replace,
                   std::string* error) {
  if (!settleInterruptedPair(first.target, error) || !settleInterruptedPair(second.target, error)) {
    return false;
  }
  const StopSignalsHeld held;
  const std::array<const PairFile*, 2> files{&first, &second};
  std::array<Member, 2> members;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!prepareMember(*files[i], replace, &members[i], error)) {
      return false;
    }
  }
  return stageBoth(files, members, error) && syncFolders(members, error) &&
         finishOrUndo(members, error);
}

bool readPairFile(const std::string& path, std::size_t maxSize, SecretText* out, std::string* error,
                  std::string_view shownAs) {
  return (path == "-" || settleInterruptedPair(path, error)) &&
         readInput(path, maxSize, out, error, shownAs);
}

}  // namespace zezi
