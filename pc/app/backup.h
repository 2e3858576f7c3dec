// The backup of a gateway's wireless settings, with one owner and one rule.
//
// An upgrade switches the gateway's access point off and resets its
// settings; until they were written back and read back equal, the backup is
// the only copy of them (Wi-Fi keys included). So it is written whole or
// not at all (a new file, flushed, then renamed over the old one), readable
// by this user alone, and removed in one case only: once the settings were
// read back from the gateway equal to it. No interrupt, closed window or
// failure removes or moves it; nothing but this object writes its files.
#ifndef VELMORA_APP_BACKUP_H
#define VELMORA_APP_BACKUP_H

#include <atomic>
#include <string>

namespace velmora {

// The settings as the wizard keeps them: form bodies for the gateway, one
// per line ("C:\Ssid"), and the access list ("C:\AccessList"), empty when
// the gateway uses none.
struct WirelessSettings {
  std::string ssid;
  std::string accessList;
};

// The backup's files, as the wizard names them.
extern const char kSsidFile[];          // "C:\Ssid"
extern const char kAccessListFile[];    // "C:\AccessList"
// Beside them while the gateway has been sent an image but not seen to
// restart since: a later run tells the user to power-cycle it first.
extern const char kPowerCycleNoteFile[];  // "C:\SsidPowerCycle"

class WirelessBackup {
 public:
  enum State {
    kNone,      // nothing saved by this run (a file of an earlier run may lie there)
    kSaved,     // on disk, from the gateway or from an earlier run's file
    kRestored,  // posted back to the gateway; still on disk
    kVerified,  // read back equal; the files are gone
  };

  // `stateDir` stands for "C:\" (empty: the real one).
  explicit WirelessBackup(std::string stateDir);
  WirelessBackup(const WirelessBackup &) = delete;
  WirelessBackup &operator=(const WirelessBackup &) = delete;

  State state() const { return static_cast<State>(state_.load()); }
  const WirelessSettings &settings() const { return settings_; }
  // The main file, as the user is told where the backup is.
  std::string Path() const;
  // Whether a backup lies in the folder, this run's or an earlier one's.
  bool OnDisk() const;
  // Whether the user must still be told where it is: saved or restored,
  // but not read back equal.
  bool Kept() const { return state() == kSaved || state() == kRestored; }

  // Writes `settings` in place of any backup in the folder: state kSaved.
  // false with the reason in *problem when it could not; the folder then
  // holds what it held before.
  bool Save(const WirelessSettings &settings, std::string *problem);
  // Takes the backup an earlier run left in the folder: state kSaved.
  bool Load(std::string *problem);
  // The settings were posted back.
  void Restored();
  // The settings read back equal: the files go, state kVerified. false when
  // a file could not be removed (the settings are back all the same).
  bool Verified();

  // An image went out to the gateway while the backup is kept, and the
  // gateway was seen to restart since. Save and Verified end the note too.
  void NoteImageSent();
  void NotePowerCycle();
  // Whether the backup in the folder was kept by a run that ended after it
  // sent an image and before the gateway restarted.
  bool AwaitsPowerCycle() const;

 private:
  std::string File(const char *windowsName) const;

  std::string dir_;
  std::atomic<int> state_{kNone};
  WirelessSettings settings_;
};

}  // namespace velmora

#endif
