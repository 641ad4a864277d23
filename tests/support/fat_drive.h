// A small FAT file system, as on the drives envelopes are carried on, made with mkfs.vfat
// and mounted through FUSE with fusefat for the length of one test.
#pragma once

#include <sys/vfs.h>

#include <filesystem>
#include <string>

#include "support/run_command.h"

namespace zezi::testing {

class FatDrive {
 public:
  // Makes the image and mounts it at `folder`/drive. Where that cannot be done (no
  // dosfstools, fusefat or /dev/fuse) mounted() is false and skipReason() says why.
  explicit FatDrive(const std::filesystem::path& folder)
      : image_(folder / "fat.img"), drive_(folder / "drive") {
    static constexpr const char* kPath = "PATH=\"$PATH:/usr/sbin:/sbin\"; ";
    // fuse 2 or fuse 3 may have come with fusefat.
    unmounter_ = runCommand("command -v fusermount || command -v fusermount3").out;
    if (unmounter_.empty() ||
        runCommand(std::string(kPath) + "command -v mkfs.vfat && command -v fusefat").exitStatus !=
            0) {
      skipReason_ = "mkfs.vfat, fusefat or fusermount not installed";
      return;
    }
    unmounter_.pop_back();  // the line end
    std::filesystem::create_directory(drive_);
    const CommandResult made =
        runCommand(std::string(kPath) + "mkfs.vfat -C " + shellQuote(image_.string()) +
                   " 4096 && fusefat -o rw+ " + shellQuote(image_.string()) + " " +
                   shellQuote(drive_.string()));
    mounted_ = made.exitStatus == 0 && isFuse();
    if (!mounted_) {
      skipReason_ = "cannot mount a FAT image through FUSE here: " + made.err;
      unmount();
    }
  }
  FatDrive(const FatDrive&) = delete;
  FatDrive& operator=(const FatDrive&) = delete;
  ~FatDrive() { unmount(); }

  [[nodiscard]] bool mounted() const { return mounted_; }
  // Unmounts the drive and checks its file system without changing it: fsck.vfat's report,
  // two lines (its version, then the count of files and clusters) when nothing is wrong.
  [[nodiscard]] CommandResult unmountAndCheck() {
    unmount();
    return runCommand("PATH=\"$PATH:/usr/sbin:/sbin\" fsck.vfat -n " + shellQuote(image_.string()));
  }
  [[nodiscard]] const std::string& skipReason() const { return skipReason_; }
  [[nodiscard]] const std::filesystem::path& path() const { return drive_; }

 private:
  static constexpr long kFuseMagic = 0x65735546;

  [[nodiscard]] bool isFuse() const {
    struct statfs info {};
    return statfs(drive_.c_str(), &info) == 0 && info.f_type == kFuseMagic;
  }
  void unmount() {
    if (isFuse()) {
      static_cast<void>(runCommand(shellQuote(unmounter_) + " -u " + shellQuote(drive_.string())));
    }
    mounted_ = false;
  }

  std::filesystem::path image_;
  std::filesystem::path drive_;
  std::string unmounter_;
  bool mounted_ = false;
  std::string skipReason_;
};

}  // namespace zezi::testing
