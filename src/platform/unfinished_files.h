// Hidden temporary files that must not outlive the process.
//
// A file is written under a hidden temporary name and renamed into place once complete.
// A process ended by a signal in between would leave the temporary behind, so each such
// name is registered while it may exist on disk, and the handler of a fatal signal
// removes what is registered before the process goes.
#pragma once

#include <string>

// Registers one path for removal at a fatal end for as long as the object lives. Register
// before the file is created and let the object die only after the file is renamed or
// removed, so that no moment is left uncovered. Registration is best effort: a path
// longer than the system's limit, or more names than the table holds, go unregistered.
// Any thread may create and destroy these; move-only.
class RemovedIfKilled {
 public:
  RemovedIfKilled() = default;
  explicit RemovedIfKilled(const std::string& path);
  ~RemovedIfKilled();
  RemovedIfKilled(RemovedIfKilled&& other) noexcept;
  RemovedIfKilled& operator=(RemovedIfKilled&& other) noexcept;
  RemovedIfKilled(const RemovedIfKilled&) = delete;
  RemovedIfKilled& operator=(const RemovedIfKilled&) = delete;

  bool registered() const { return slot_ >= 0; }

 private:
  void release() noexcept;
  int slot_ = -1;
};

// Removes every registered path, as the process is ending. Only async-signal-safe calls:
// made for the handler of a signal that ends the process, and for exit handlers.
void removeUnfinishedFiles() noexcept;
