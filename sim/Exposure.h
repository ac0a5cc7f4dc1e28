// sim/Exposure.h — the names under which busfinder-sim shows its port (a link, a COMn of either build), and their undo.
#pragma once

#include <string>
#include <vector>

namespace busfinder_sim {

// Everything done here is recorded and undone by Undo(), newest first. Every Add* refuses to take
// over a name that something else owns; a link left dangling by an earlier run that was killed
// outright (SIGKILL, no chance to clean up) is taken over.
class Exposure {
 public:
  ~Exposure() { Undo(); }

  // A symlink at `path` to `target`. The error names `option`.
  bool AddLink(const std::string& path, const std::string& target, const std::string& option, std::string* error);

  // COMn of the Linux build: an entry of the ports folder.
  bool AddLinuxCom(int port, const std::string& target, std::string* error);

  // COMn of Wine in $WINEPREFIX (or Wine's default prefix).
  bool AddWineCom(int port, const std::string& target, std::string* error);

  // `restartWine` false leaves the prefix's wineserver running: after a vanish, the Windows program
  // using the port must see its port go away, not be killed with the prefix.
  void Undo(bool restartWine = true);

 private:
  struct Step {
    enum Kind { RemoveLink, RestoreLink, RemoveDir, WineValue } kind;
    std::string path;      // link or folder; for WineValue the prefix
    std::string target;    // our link's target (RemoveLink) or the one to put back (RestoreLink)
    std::string valueName; // WineValue: "COMn"
    std::string previous;  // WineValue: the value to put back, empty = delete
    bool hadPrevious = false;
  };
  bool MakeDirs(const std::string& dir, std::string* error);
  std::vector<Step> steps_;
};

// Runs a program with its output discarded; its exit status, -1 when it could not run.
int RunQuiet(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace busfinder_sim
