// How Kelvor puts a crash's files into the dump folder without ever leaving an empty or cut-off file
// and without touching another crash's files.
//
// A file is written under a temporary name of this Kelvor ("~kelvor-<pid>-<role>.part"), marked for
// deletion from the moment it exists, so the system removes it should Kelvor die while writing. Only
// a complete file gets its final name: renamed, then unmarked. Names are chosen under a lock shared
// by the Kelvors of this session, so two crashes at once never take the same name; the rename never
// replaces a file, so a crash of another session cannot be overwritten either.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <string>

#include "common/scoped_handle_win.h"

namespace kelvor {

class PartFile {
 public:
  PartFile() = default;
  // Creates the part file for `role` in `folder` (which ends in a backslash), marked for deletion.
  // False when it cannot be created (the folder is missing or not writable).
  bool Open(const std::wstring& folder, const wchar_t* role);
  HANDLE get() const { return file_.get(); }
  bool open() const { return file_.valid(); }
  // Gives the file the final `name` in the same folder and keeps it. False, with `taken` set when a
  // file of that name exists, when the name could not be given; the part stays marked for deletion.
  bool Publish(const std::wstring& name, bool& taken);
  // Takes a published file back under its part name, marked for deletion again.
  void Withdraw();
  // Closes the file: a part that was never published goes with it.
  void Close() { file_.Close(); }

 private:
  bool SetDeletePending(bool pending);
  bool RenameTo(const std::wstring& name);
  suite::ScopedFile file_;
  std::wstring folder_;
  std::wstring partName_;
};

// One of the files a crash places under a common name: its part (null when there is none, the name
// must still be free, so that no file of this crash can be taken for another's) and the file's name
// for a given dump name.
struct CrashFileSlot {
  PartFile* part;
  std::wstring (*nameFor)(const std::wstring& dumpName);
};

// Publishes every slot's part under the first name of the clash sequence of `firstName` at which
// the names of all slots are free; sets `chosenName`. False when no such name was found (every name
// taken, or a rename failed): then nothing of this crash keeps a final name.
bool PublishUnderFreeName(const std::wstring& folder, const std::wstring& firstName,
                          std::initializer_list<CrashFileSlot> slots, std::wstring& chosenName);

// How part files are marked and renamed: through SetFileInformationByHandle where the system has it
// (Vista on), else through the native call beneath it (Windows XP), with the same guarantees. Chosen
// on first use; a test may choose either first. False when this system lacks the route.
enum class FileCallRoute { kSystem, kNative };
bool ChooseFileCallRoute(FileCallRoute route);

// Removes part files that Kelvors which died at the very moment of creating them left behind. A part
// file that a running Kelvor holds cannot be deleted and stays.
void SweepLeftoverParts(const std::wstring& folder);

}  // namespace kelvor
