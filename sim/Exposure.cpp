// sim/Exposure.cpp — makes and removes the links, ports-folder entries and Wine Ports values that point at the simulator.
#include "sim/Exposure.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "comm/posix/PortNames.h"

namespace busfinder_sim {

namespace {

bool ReadLink(const std::string& path, std::string* target) {
  char buffer[4096];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return false;
  target->assign(buffer, static_cast<std::size_t>(n));
  return true;
}

bool IsDanglingLink(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
  return stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

std::string WinePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix != nullptr && *prefix != '\0') return prefix;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.wine";
}

const char kPortsKey[] = "HKLM\\Software\\Wine\\Ports";

}  // namespace

int RunQuiet(const std::vector<std::string>& argv, std::string* output) {
  int pipeFds[2] = {-1, -1};
  if (output != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    // The simulator blocks its stop signals to read them from a signalfd; the child must not
    // inherit that. Its own process group keeps a terminal's Ctrl-C (meant for the simulator,
    // which then undoes its work through this very child) from killing it half-way.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setpgid(0, 0);
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(output != nullptr ? pipeFds[1] : devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (output != nullptr) {
    close(pipeFds[1]);
    output->clear();
    char buffer[512];
    for (;;) {
      const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
      if (n > 0) {
        output->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    close(pipeFds[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Exposure::MakeDirs(const std::string& dir, std::string* error) {
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    const std::string part = dir.substr(0, pos);
    if (mkdir(part.c_str(), 0700) == 0) {
      steps_.push_back(Step{Step::RemoveDir, part, {}, {}, {}, false});
    } else if (errno != EEXIST) {
      *error = "cannot create folder " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool Exposure::AddLink(const std::string& path, const std::string& target, const std::string& option,
                       std::string* error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!IsDanglingLink(path)) {
      *error = option + ": " + path + " already exists; not replacing it";
      return false;
    }
    unlink(path.c_str());  // left behind by a run that was killed outright
  }
  if (symlink(target.c_str(), path.c_str()) != 0) {
    *error = option + ": cannot make the link " + path + ": " + std::strerror(errno);
    return false;
  }
  steps_.push_back(Step{Step::RemoveLink, path, target, {}, {}, false});
  return true;
}

bool Exposure::AddLinuxCom(int port, const std::string& target, std::string* error) {
  const std::string folder = comm::posix::PortsFolder();
  if (folder.empty()) {
    *error = "--com: no ports folder (neither XDG_CONFIG_HOME nor HOME is usable)";
    return false;
  }
  if (!MakeDirs(folder, error)) {
    *error = "--com: " + *error;
    return false;
  }
  return AddLink(folder + "/COM" + std::to_string(port), target, "--com", error);
}

bool Exposure::AddWineCom(int port, const std::string& target, std::string* error) {
  // Wine reaches \\.\COMn through the link $WINEPREFIX/dosdevices/comn, which its mount manager
  // makes from the Ports value each time the prefix's services start. Setting the value keeps the
  // mapping across a restart of the prefix; restarting the wineserver at once, and making the link
  // ourselves, makes it hold for the next program without waiting for that.
  const std::string prefix = WinePrefix();
  setenv("WINEPREFIX", prefix.c_str(), 1);
  if (std::getenv("WINEDEBUG") == nullptr) setenv("WINEDEBUG", "-all", 1);
  const std::string valueName = "COM" + std::to_string(port);

  Step step{Step::WineValue, prefix, target, valueName, {}, false};
  std::string out;
  if (RunQuiet({"wine", "reg", "query", kPortsKey, "/v", valueName}, &out) == 0) {
    // "    COM10    REG_SZ    /dev/ttyS9"
    const std::size_t at = out.find("REG_SZ");
    if (at != std::string::npos) {
      std::string value = out.substr(at + 6);
      const std::size_t b = value.find_first_not_of(" \t");
      const std::size_t e = value.find_last_not_of(" \t\r\n");
      value = b == std::string::npos ? std::string() : value.substr(b, e - b + 1);
      // A pseudo-terminal that no longer exists was left by a run killed outright: nothing to keep.
      struct stat st {};
      const bool stale = value.rfind("/dev/pts/", 0) == 0 && stat(value.c_str(), &st) != 0;
      if (!value.empty() && !stale) {
        step.previous = value;
        step.hadPrevious = true;
      }
    }
  }
  if (RunQuiet({"wine", "reg", "add", kPortsKey, "/v", valueName, "/d", target, "/f"}) != 0) {
    *error = "--wine-com: `wine reg add` failed in " + prefix;
    return false;
  }
  RunQuiet({"wineserver", "-k"});

  // The link step goes in before the value's, so that Undo (newest first) puts the value back and
  // stops the prefix before it touches the link.
  const std::string link = prefix + "/dosdevices/com" + std::to_string(port);
  std::string old;
  const bool hadLink = ReadLink(link, &old);
  struct stat st {};
  const bool oldStale = hadLink && old.rfind("/dev/pts/", 0) == 0 && stat(old.c_str(), &st) != 0;
  if (hadLink) unlink(link.c_str());
  if (symlink(target.c_str(), link.c_str()) != 0) {
    *error = "--wine-com: cannot make the link " + link + ": " + std::strerror(errno);
    if (hadLink) symlink(old.c_str(), link.c_str());
    steps_.push_back(step);
    return false;
  }
  if (hadLink && !oldStale) {
    steps_.push_back(Step{Step::RestoreLink, link, old, {}, {}, false});
  } else {
    steps_.push_back(Step{Step::RemoveLink, link, target, {}, {}, false});
  }
  steps_.push_back(step);
  return true;
}

void Exposure::Undo(bool restartWine) {
  while (!steps_.empty()) {
    const Step step = steps_.back();
    steps_.pop_back();
    std::string current;
    switch (step.kind) {
      case Step::RemoveLink:
        // Only our own link: something else may have replaced it meanwhile.
        if (ReadLink(step.path, &current) && current == step.target) unlink(step.path.c_str());
        break;
      case Step::RestoreLink:
        unlink(step.path.c_str());
        symlink(step.target.c_str(), step.path.c_str());
        break;
      case Step::RemoveDir:
        rmdir(step.path.c_str());  // fails, as it should, when something else was put in it
        break;
      case Step::WineValue:
        setenv("WINEPREFIX", step.path.c_str(), 1);
        if (step.hadPrevious) {
          RunQuiet({"wine", "reg", "add", kPortsKey, "/v", step.valueName, "/d", step.previous, "/f"});
        } else {
          RunQuiet({"wine", "reg", "delete", kPortsKey, "/v", step.valueName, "/f"});
        }
        // `wine reg` may have started the prefix's services, whose mount manager can (re)make the
        // dosdevices link from the old value; stop them before the link is put right (the next
        // step). Not after a vanish: programs still running in the prefix would die with it, and
        // their services are already up, so nothing remakes the link then.
        if (restartWine) RunQuiet({"wineserver", "-k"});
        break;
    }
  }
}

}  // namespace busfinder_sim
