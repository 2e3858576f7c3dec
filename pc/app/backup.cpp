#include "app/backup.h"

#include <string.h>

#include "app/environment.h"
#include "platform/files.h"

namespace velmora {

const char kSsidFile[] = "C:\\Ssid";
const char kAccessListFile[] = "C:\\AccessList";
const char kPowerCycleNoteFile[] = "C:\\SsidPowerCycle";

namespace {

// A new file beside the final one, on the disk itself before it takes the
// final name.
bool WriteAside(const std::string &path, const std::string &text, std::string *problem) {
  platform::DeleteLocalFile(path);  // left by a run that ended while writing
  platform::File f;
  bool ok = f.Open(path, platform::File::kWrite, true) && f.Write(text.data(), text.size()) &&
            f.Flush();
  f.Close();
  if (ok) return true;
  platform::DeleteLocalFile(path);
  *problem = "the backup file " + path + " cannot be written";
  return false;
}

// Files of earlier versions on Windows were written in text mode.
std::string WithoutCarriageReturns(std::string text) {
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

}  // namespace

WirelessBackup::WirelessBackup(std::string stateDir) : dir_(std::move(stateDir)) {}

std::string WirelessBackup::File(const char *windowsName) const {
  return LocalPath(dir_, windowsName);
}

std::string WirelessBackup::Path() const { return File(kSsidFile); }

bool WirelessBackup::OnDisk() const { return platform::IsRegularFile(Path()); }

bool WirelessBackup::Save(const WirelessSettings &settings, std::string *problem) {
  if (!dir_.empty()) platform::MakePrivateDirectories(dir_);
  const std::string ssid = File(kSsidFile), list = File(kAccessListFile);
  const std::string ssidNew = ssid + ".new", listNew = list + ".new";
  bool withList = !settings.accessList.empty();
  if (!WriteAside(ssidNew, settings.ssid, problem)) return false;
  if (withList && !WriteAside(listNew, settings.accessList, problem)) {
    platform::DeleteLocalFile(ssidNew);
    return false;
  }
  // The main file comes last: while it is the old one, so is the backup.
  bool listPlaced = withList ? platform::RenameOver(listNew, list)
                             : !platform::PathExists(list) || platform::DeleteLocalFile(list);
  if (!listPlaced || !platform::RenameOver(ssidNew, ssid)) {
    platform::DeleteLocalFile(ssidNew);
    platform::DeleteLocalFile(listNew);
    *problem = "the backup file " + (listPlaced ? ssid : list) + " cannot be put in place";
    return false;
  }
  settings_ = settings;
  state_ = kSaved;
  NotePowerCycle();  // a new backup, of a gateway no image was sent to yet
  return true;
}

bool WirelessBackup::Load(std::string *problem) {
  WirelessSettings s;
  if (!platform::ReadWholeFile(File(kSsidFile), &s.ssid)) {
    *problem = "no wireless settings are kept in " + Path();
    return false;
  }
  std::string list = File(kAccessListFile);
  if (platform::PathExists(list) && !platform::ReadWholeFile(list, &s.accessList)) {
    *problem = "the backup file " + list + " cannot be read";
    return false;
  }
  // Earlier versions left them as readable as the folder made them.
  platform::RestrictToOwner(File(kSsidFile));
  if (!s.accessList.empty()) platform::RestrictToOwner(list);
  s.ssid = WithoutCarriageReturns(s.ssid);
  s.accessList = WithoutCarriageReturns(s.accessList);
  settings_ = s;
  state_ = kSaved;
  return true;
}

void WirelessBackup::Restored() {
  if (state() == kSaved) state_ = kRestored;
}

bool WirelessBackup::Verified() {
  state_ = kVerified;
  // The main file first: without it, what is left is no backup.
  const std::string list = File(kAccessListFile);
  bool ssidGone = platform::DeleteLocalFile(File(kSsidFile));
  NotePowerCycle();
  return (!platform::PathExists(list) || platform::DeleteLocalFile(list)) && ssidGone;
}

void WirelessBackup::NoteImageSent() {
  // A hint, not a promise: a note that cannot be written only leaves the
  // hint out.
  static const char kNote[] =
      "A firmware image was sent to the Gateway; it has not been seen to restart since.\n";
  platform::WriteWholeFile(File(kPowerCycleNoteFile), kNote, sizeof kNote - 1);
}

void WirelessBackup::NotePowerCycle() {
  const std::string note = File(kPowerCycleNoteFile);
  if (platform::PathExists(note)) platform::DeleteLocalFile(note);
}

bool WirelessBackup::AwaitsPowerCycle() const {
  return OnDisk() && platform::IsRegularFile(File(kPowerCycleNoteFile));
}

}  // namespace velmora
