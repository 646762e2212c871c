// `tavo mount` used by real Linux programs: each row mounts a fresh view of a
// small server folder, runs a shell command on it, and checks what the
// command printed, its exit code, how many downloads the agent made, and
// what the server folder and the cache folder hold after the unmount.
// Then: unmounting while a program holds a file open, and the mount process
// killed outright.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

bool IsMounted(const fs::path& point) {
  std::ifstream mounts("/proc/self/mounts");
  for (std::string device, where, rest; mounts >> device >> where && std::getline(mounts, rest);) {
    if (where == point.string()) return true;
  }
  return false;
}

const char* WhyNotRunnable() {
#ifndef TAVO_BINARY
  return "tavo was built without libfuse3 (install libfuse3-dev and pkg-config)";
#else
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is missing or not usable here";
  if (geteuid() != 0) return "mounting needs root here";
  return nullptr;
#endif
}

struct CommandResult {
  std::string output;  // stdout and stderr
  int exitCode = -1;
};

// A fresh server, cache and mount point under a temporary folder, and a
// `tavo mount --trace` serving it. Whatever happens, the destructor leaves
// nothing mounted and removes the folder.
class MountedView {
 public:
  explicit MountedView(const std::vector<std::string>& extraArgs) {
    char pattern[] = "/tmp/tavo-mount-test-XXXXXX";
    root_ = mkdtemp(pattern);
    WriteFile(server() / "readme.txt", "Welcome\n");
    WriteFile(server() / "docs" / "notes.txt", "Meeting notes: ship the merged view on Friday.\n");
    WriteFile(server() / "docs" / "app.log", "ship log\n");
    fs::create_directories(server() / "Archive");
    WriteFile(host() / "in.txt", "copied in\n");
    fs::create_directories(cache());
    fs::create_directories(point());
    Start(extraArgs);
  }

  // Starts `tavo mount --trace` on the folders (again after an unmount) and
  // waits until the mount is there or the process ended.
  void Start(const std::vector<std::string>& extraArgs) {
#ifdef TAVO_BINARY
    std::vector<std::string> args = {TAVO_BINARY, "mount", point(), "--server", server(),
                                     "--cache", cache(), "--trace"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::freopen((root_ / "mount.log").c_str(), "a", stdout);
      dup2(fileno(stdout), 2);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
#else
    (void)extraArgs;
#endif
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!IsMounted(point()) && std::chrono::steady_clock::now() < deadline && Alive())
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  ~MountedView() {
    if (pid_ > 0 && Alive()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (IsMounted(point())) Run("umount -l \"$M\"");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  bool Mounted() const { return IsMounted(point()); }
  fs::path server() const { return root_ / "server"; }
  fs::path cache() const { return root_ / "cache"; }
  fs::path point() const { return root_ / "mnt"; }
  fs::path host() const { return root_ / "host"; }
  std::string Log() const { return ReadFile(root_ / "mount.log"); }
  pid_t pid() const { return pid_; }

  // Runs `command` with bash; $M is the mount point, $S the server folder,
  // $HOST a host folder.
  CommandResult Run(const std::string& command) const {
    const std::string line = "cd / && M='" + point().string() + "' S='" + server().string() +
                             "' HOST='" + host().string() + "' bash -c '" + Quote(command) + "' 2>&1; echo \"rc=$?\"";
    CommandResult result;
    FILE* pipe = popen(line.c_str(), "r");
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
      result.output.append(chunk, n);
    pclose(pipe);
    const std::size_t rc = result.output.rfind("rc=");
    result.exitCode = std::stoi(result.output.substr(rc + 3));
    result.output.resize(rc);
    return result;
  }

  // Unmounts as a user would and returns the mount process's exit code.
  int Unmount() {
    Run("fusermount3 -u \"$M\"");
    return Wait();
  }
  int Wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  static std::string Quote(const std::string& text) {
    std::string quoted;
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted;
  }
  bool Alive() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  fs::path root_;
  pid_t pid_ = -1;
};

int CountLines(const std::string& text, const std::string& containing) {
  int count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) count += line.find(containing) != std::string::npos;
  return count;
}

constexpr const char* kDirectory = "<folder>";

struct Row {
  const char* what;
  std::vector<std::string> mountArgs;
  std::string command;
  int exitCode;
  std::vector<std::string> printed;  // each must appear in the output
  int downloads;                     // agent downloads during the row
  // After the unmount: path -> contents, kDirectory, or nothing (absent).
  std::vector<std::pair<std::string, std::optional<std::string>>> server, cache;
};

const Row kRows[] = {
    {"ls -la lists server items without downloading", {}, "ls -la \"$M\" \"$M/docs\"", 0,
     {"readme.txt", "Archive", "notes.txt", " 47 "}, 0, {}, {{"docs/notes.txt", std::nullopt}}},
    {"stat reads attributes and downloads nothing", {},
     "stat -c \"%s %F\" \"$M/docs/notes.txt\" \"$M/docs\"", 0, {"47 regular file\n", "directory\n"},
     0, {}, {{"docs/notes.txt", std::nullopt}}},
    {"cat downloads once and reads the local copy afterwards", {},
     "cat \"$M/docs/notes.txt\" && cat \"$M/docs/notes.txt\"", 0,
     {"Meeting notes: ship the merged view on Friday.\nMeeting notes: ship"}, 1, {},
     {{"docs/notes.txt", "Meeting notes: ship the merged view on Friday.\n"}}},
    {"cp copies a host file in, onto the server", {}, "cp \"$HOST/in.txt\" \"$M/docs/in.txt\"", 0,
     {}, 0, {{"docs/in.txt", "copied in\n"}}, {{"docs/in.txt", "copied in\n"}}},
    {"cp copies a server file out", {},
     "cp \"$M/readme.txt\" \"$HOST/out.txt\" && cat \"$HOST/out.txt\"", 0, {"Welcome\n"}, 1,
     {{"readme.txt", "Welcome\n"}}, {}},
    {"mv renames on the server", {}, "mv \"$M/readme.txt\" \"$M/docs/moved.txt\" && ls \"$M/docs\"",
     0, {"moved.txt"}, -1, {{"readme.txt", std::nullopt}, {"docs/moved.txt", "Welcome\n"}}, {}},
    {"rm deletes on the server", {}, "rm \"$M/docs/notes.txt\" && ls \"$M/docs\"", 0, {"app.log"},
     -1, {{"docs/notes.txt", std::nullopt}, {"docs/app.log", "ship log\n"}}, {}},
    {"mkdir makes a server folder; an existing one is refused", {},
     "mkdir \"$M/Projects\" && mkdir \"$M/docs\"", 1, {"File exists"}, 0,
     {{"Projects", kDirectory}}, {}},
    {"rmdir removes an empty folder, refuses a full one", {},
     "rmdir \"$M/Archive\" && rmdir \"$M/docs\"", 1, {"Directory not empty"}, 0,
     {{"Archive", std::nullopt}, {"docs/notes.txt", "Meeting notes: ship the merged view on Friday.\n"}},
     {}},
    {"find walks the whole view", {}, "cd \"$M\" && find . | sort", 0,
     {".\n./Archive\n./docs\n./docs/app.log\n./docs/notes.txt\n./readme.txt\n"}, 0, {}, {}},
    {"grep -r reads every file", {}, "cd \"$M\" && grep -r ship . | sort", 0,
     {"./docs/app.log:ship log\n./docs/notes.txt:Meeting notes: ship"}, 3, {}, {}},
    {"a shell redirect writes a new file to the server", {},
     "echo hello > \"$M/docs/new.txt\" && echo again >> \"$M/docs/new.txt\" && cat \"$M/docs/new.txt\"",
     0, {"hello\nagain\n"}, 0, {{"docs/new.txt", "hello\nagain\n"}}, {{"docs/new.txt", "hello\nagain\n"}}},
    {"appending to a server-only file downloads it first", {}, "echo more >> \"$M/readme.txt\"", 0,
     {}, 1, {{"readme.txt", "Welcome\nmore\n"}}, {{"readme.txt", "Welcome\nmore\n"}}},
    // A listing hands the kernel each entry's attributes: what changes
    // through the mount afterwards must show at once, in a stat and in the
    // next listing.
    {"changes through the mount show after a listing", {},
     "ls -l \"$M\" \"$M/docs\" > /dev/null; echo more >> \"$M/docs/notes.txt\"; "
     "stat -c %s \"$M/docs/notes.txt\"; truncate -s 3 \"$M/readme.txt\"; stat -c %s \"$M/readme.txt\"; "
     "mv \"$M/docs/app.log\" \"$M/docs/old.log\"; stat \"$M/docs/app.log\"; "
     "ls -l \"$M\" \"$M/docs\" | grep -E \"notes|readme|log\" | awk \"{ print \\$5, \\$9 }\"",
     0, {"52\n3\n", "No such file", "3 readme.txt\n", "52 notes.txt\n", "9 old.log\n"}, 2,
     {{"readme.txt", "Wel"}, {"docs/app.log", std::nullopt}}, {}},
    // Listings are kept, and what they told the kernel too, for a second; a
    // change on the server shows after that.
    {"a change on the server shows a second after a listing", {},
     "ls -f \"$M\" > /dev/null; echo \"a longer welcome\" > \"$S/readme.txt\"; echo new > \"$S/new.txt\"; "
     "sleep 1.2; stat -c %s \"$M/readme.txt\"; ls -f \"$M\"",
     0, {"17\n", "new.txt"}, 0, {}, {}},
    {"a missing name is not found", {}, "cat \"$M/docs/none.txt\"", 1, {"No such file or directory"},
     0, {}, {}},
    {"names NTFS cannot hold are refused, not read as streams or two names", {},
     "touch \"$M/a:b\"; touch \"$M/docs\\\\notes.txt\"; ls \"$M\"", 0,
     {"a:b': Invalid argument", "notes.txt': Invalid argument"}, 0, {{"a", std::nullopt}}, {}},
    {"a blocked program is refused data but can stat; its extensions are allowed",
     {"--block", "grep:.md,log"},
     "stat -c %s \"$M/docs/notes.txt\"; grep ship \"$M/docs/notes.txt\"; grep -h ship \"$M/docs/app.log\"",
     0, {"47\n", "Permission denied", "ship log\n"}, 1, {}, {{"docs/notes.txt", std::nullopt}}},
    {"with an allow list only the allowed program downloads", {"--allow", "cat"},
     "grep W \"$M/readme.txt\"; cat \"$M/readme.txt\"", 0, {"Permission denied", "Welcome\n"}, 1,
     {}, {{"readme.txt", "Welcome\n"}}},
    {"a no-listing program sees the view empty, others do not", {"--no-listing", "ls"},
     "ls -A \"$M\" | wc -l; find \"$M\" -maxdepth 1 | wc -l", 0, {"0\n4\n"}, 0, {}, {}},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.what; }

class MountPrograms : public ::testing::TestWithParam<Row> {};

TEST_P(MountPrograms, PrintsAndLeavesTheFoldersAsExpected) {
  if (const char* why = WhyNotRunnable()) GTEST_SKIP() << why;
  const Row& row = GetParam();
  MountedView view(row.mountArgs);
  ASSERT_TRUE(view.Mounted()) << view.Log();
  const CommandResult result = view.Run(row.command);
  EXPECT_EQ(result.exitCode, row.exitCode) << result.output;
  for (const std::string& text : row.printed)
    EXPECT_NE(result.output.find(text), std::string::npos) << "missing '" << text << "' in:\n"
                                                           << result.output;
  EXPECT_EQ(view.Unmount(), 0) << view.Log();
  const std::string log = view.Log();
  EXPECT_NE(log.find("driver unloaded -> STATUS_SUCCESS"), std::string::npos) << log;
  if (row.downloads >= 0) {
    EXPECT_EQ(CountLines(log, "agent: downloaded "), row.downloads) << log;
  }
  auto check = [](const fs::path& root, const auto& expectations, const char* where) {
    for (const auto& [path, expected] : expectations) {
      if (!expected) {
        EXPECT_FALSE(fs::exists(root / path)) << where << " still holds " << path;
      } else if (*expected == kDirectory) {
        EXPECT_TRUE(fs::is_directory(root / path)) << where << " lacks the folder " << path;
      } else {
        EXPECT_EQ(ReadFile(root / path), *expected) << where << " " << path;
      }
    }
  };
  check(view.server(), row.server, "the server folder");
  check(view.cache(), row.cache, "the cache folder");
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  std::string name;
  for (const char* c = info.param.what; *c != '\0' && name.size() < 60; ++c)
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Programs, MountPrograms, ::testing::ValuesIn(kRows), RowName);

// A program still holds a file open when the mount is interrupted: the
// mount closes the handle itself and the driver unloads cleanly.
TEST(MountLifetime, InterruptedWithAFileOpenUnloadsCleanly) {
  if (const char* why = WhyNotRunnable()) GTEST_SKIP() << why;
  MountedView view({});
  ASSERT_TRUE(view.Mounted()) << view.Log();
  ASSERT_EQ(view.Run("exec 3<\"$M/docs/notes.txt\"; (head -c 7 <&3; sleep 60) >/dev/null 2>&1 & "
                         "echo $! > \"$HOST/holder\"")
                .exitCode,
            0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (view.Log().find("agent: downloaded ") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(view.pid(), SIGTERM);
  EXPECT_EQ(view.Wait(), 0) << view.Log();
  view.Run("kill $(cat \"$HOST/holder\")");
  EXPECT_NE(view.Log().find("close at unmount -> STATUS_SUCCESS"), std::string::npos) << view.Log();
  EXPECT_EQ(ReadFile(view.cache() / "docs" / "notes.txt"),
            "Meeting notes: ship the merged view on Friday.\n");
}

// The mount process killed outright: what programs finished writing is on
// the server whole, and nothing half-made is left there.
TEST(MountLifetime, KilledMountLeavesTheServerConsistent) {
  if (const char* why = WhyNotRunnable()) GTEST_SKIP() << why;
  MountedView view({});
  ASSERT_TRUE(view.Mounted()) << view.Log();
  ASSERT_EQ(view.Run("cp \"$HOST/in.txt\" \"$M/in.txt\" && mv \"$M/readme.txt\" \"$M/Archive/r.txt\"")
                .exitCode,
            0);
  kill(view.pid(), SIGKILL);
  view.Wait();
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(view.server()))
    files.push_back(fs::relative(entry.path(), view.server()).string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Archive", "Archive/r.txt", "docs", "docs/app.log",
                                             "docs/notes.txt", "in.txt"}));
  EXPECT_EQ(ReadFile(view.server() / "in.txt"), "copied in\n");
  EXPECT_EQ(ReadFile(view.server() / "Archive" / "r.txt"), "Welcome\n");
}

// The cache folder carries the local copies and the agent's sync ledger
// from one mount to the next: a copy changed in the second session is an
// update of the server file, not a conflict kept beside it.
TEST(MountLifetime, ACopyChangedInALaterSessionIsUploadedAsAChange) {
  if (const char* why = WhyNotRunnable()) GTEST_SKIP() << why;
  MountedView view({});
  ASSERT_TRUE(view.Mounted()) << view.Log();
  ASSERT_EQ(view.Run("cat \"$M/docs/notes.txt\"").exitCode, 0);
  ASSERT_EQ(view.Unmount(), 0) << view.Log();
  ASSERT_TRUE(fs::exists(view.cache() / "docs" / "notes.txt"));

  view.Start({});
  ASSERT_TRUE(view.Mounted()) << view.Log();
  EXPECT_EQ(view.Run("echo more >> \"$M/docs/notes.txt\"").exitCode, 0);
  EXPECT_EQ(view.Unmount(), 0) << view.Log();
  EXPECT_EQ(ReadFile(view.server() / "docs" / "notes.txt"),
            "Meeting notes: ship the merged view on Friday.\nmore\n");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(view.server() / "docs"))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"app.log", "notes.txt"})) << view.Log();
}

}  // namespace
