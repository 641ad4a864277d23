// The device's peak memory while it applies a drive of 1, 1,000 and 20,000 *.json files:
// `zezi-vidad-device apply` (and the operator's `zezi-vidad apply` beside it) run as a whole
// process, its maximum resident set taken from the kernel (counter peak_KiB). A drive that anyone
// can label must not push a small device out of memory, whatever it holds. Not a test: run
// build/bench/apply_memory_bench.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The programs that apply: the operator's tool and the device's program.
const std::vector<std::string> kPrograms = {ZEZI_VIDAD_CLI_PATH, ZEZI_VIDAD_DEVICE_PATH};

// Runs `program` with `arguments`, its output thrown away; the child's peak resident set in
// KiB, or -1 when it could not run.
long run(std::string program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> words = arguments;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) == 127) {
    return -1;
  }
  return usage.ru_maxrss;
}

// A drive of `count` files that look like envelopes, and a device to apply it to.
class Device {
 public:
  explicit Device(long count) {
    std::string pattern = (fs::temp_directory_path() / "zezi_apply_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      return;
    }
    dir_ = pattern;
    fs::create_directories(dir_ / "drive");
    fs::create_directories(dir_ / "conf");
    for (long i = 0; i < count; ++i) {
      std::string name = "e";
      name += std::to_string(i);
      name += ".json";
      std::ofstream(dir_ / "drive" / name) << "{}\n";
    }
    ready_ = run(kPrograms[0],
                 {"keygen", "--private", path("fleet.key"), "--public", path("fleet.pub")}) >= 0 &&
             run(kPrograms[0],
                 {"keygen", "--private", path("signer.key"), "--public", path("signer.pub")}) >= 0;
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() {
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  [[nodiscard]] bool ready() const { return ready_; }
  [[nodiscard]] std::string path(const char* name) const { return (dir_ / name).string(); }

  [[nodiscard]] long apply(const std::string& program) const {
    return run(program, {"apply", "--private", path("fleet.key"), "--trust", path("signer.pub"),
                         "--state", path("replay.state"), "--source", path("drive"), "--stack",
                         "networkmanager", "--config-dir", path("conf")});
  }

 private:
  fs::path dir_;
  bool ready_ = false;
};

void BM_ApplyPeakMemory(benchmark::State& state) {
  const Device device(state.range(0));
  const std::string& program = kPrograms.at(static_cast<std::size_t>(state.range(1)));
  state.SetLabel(std::filesystem::path(program).filename().string());
  if (!device.ready()) {
    state.SkipWithError("the tool could not make the device's keys");
    return;
  }
  long peak = 0;
  for (auto _ : state) {
    peak = std::max(peak, device.apply(program));
  }
  if (peak < 0) {
    state.SkipWithError("the tool could not run");
    return;
  }
  state.counters["peak_KiB"] = static_cast<double>(peak);
}
BENCHMARK(BM_ApplyPeakMemory)
    ->ArgsProduct({{1, 1000, 20000}, {1, 0}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
