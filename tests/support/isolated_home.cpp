// Linked into every test program: before main, HOME and the XDG folders point into a fresh folder
// of the program's own, removed again at its end. Tests that run the programs (or a run in
// process) otherwise left run records, journals and settings in the home of whoever ran them,
// whether through ctest or by starting a test program by hand; programs the tests start inherit it.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

class IsolatedHome {
 public:
  IsolatedHome() : owner_(::getpid()) {
    const char* temporary = std::getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr && *temporary == '/' ? temporary : "/tmp") +
                          "/shelvio-test-home-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
      std::perror("shelvio tests: cannot make a home folder of their own");
      std::abort();
    }
    home_ = name.data();
    ::setenv("HOME", home_.c_str(), 1);
    const struct {
      const char* variable;
      const char* below;
    } kFolders[] = {{"XDG_CONFIG_HOME", "/.config"},
                    {"XDG_DATA_HOME", "/.local/share"},
                    {"XDG_STATE_HOME", "/.local/state"},
                    {"XDG_CACHE_HOME", "/.cache"},
                    {"XDG_RUNTIME_DIR", "/runtime"}};
    for (const auto& folder : kFolders) ::setenv(folder.variable, (home_ + folder.below).c_str(), 1);
    // The runtime folder must exist and be the user's alone, or Qt complains of it.
    ::mkdir((home_ + "/runtime").c_str(), 0700);
  }
  ~IsolatedHome() {
    // A child that a test forked and that ends through exit() must not take the folder away.
    if (::getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
  }
  IsolatedHome(const IsolatedHome&) = delete;
  IsolatedHome& operator=(const IsolatedHome&) = delete;

 private:
  pid_t owner_;
  std::string home_;
};

const IsolatedHome kIsolatedHome;

}  // namespace
