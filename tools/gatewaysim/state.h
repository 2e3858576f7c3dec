// The simulated gateway's memory, kept in small "name=value" files inside the
// simulator's directory so that every piece (the webcm CGI, the upgrade
// service, the telnet service, the boot step and the front script) sees the
// same gateway:
//
//   config    the simulator's own settings (answer of the upgrade service,
//             version after an image, telnet login); survive every reboot
//   firmware  what the flash holds: running version, flash fingerprint, boots
//   state     the running configuration that webcm shows and changes
//   saved     the configuration stored by "logic:command/save"; a boot starts
//             the running configuration from it
//   requests.log  one line per request or event
#ifndef GATEWAYSIM_STATE_H
#define GATEWAYSIM_STATE_H

#include <string>
#include <utility>
#include <vector>

namespace gwsim {

// Ordered name=value pairs; a value runs to the end of its line.
class Settings {
 public:
  std::string get(const std::string &name, const std::string &fallback = "") const;
  bool has(const std::string &name) const;
  void set(const std::string &name, const std::string &value);
  void erase(const std::string &name);
  const std::vector<std::pair<std::string, std::string>> &items() const { return items_; }

  bool load(const std::string &path);        // false when the file is missing
  bool save(const std::string &path) const;  // written aside, then renamed
  std::string text() const;

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

// The simulator directory and the paths inside it.
struct SimDir {
  std::string dir;
  std::string config() const { return dir + "/config"; }
  std::string firmware() const { return dir + "/firmware"; }
  std::string state() const { return dir + "/state"; }
  std::string saved() const { return dir + "/saved"; }
  std::string log() const { return dir + "/requests.log"; }
  std::string reboot_request() const { return dir + "/reboot-requested"; }
  std::string root() const { return dir + "/root"; }  // dornix's scratch root
  std::string mtd(int n) const { return root() + "/dev/mtdblock/" + std::to_string(n); }
};

// Holds an exclusive lock on the directory's lock file while it lives, so that
// concurrent CGI processes read-modify-write the files one at a time.
class DirLock {
 public:
  explicit DirLock(const SimDir &d);
  ~DirLock();
  DirLock(const DirLock &) = delete;
  DirLock &operator=(const DirLock &) = delete;

 private:
  int fd_;
};

// Wireless settings of a gateway fresh from the factory (after a new image).
Settings factory_wireless();
// The configuration a new simulator starts with: a gateway in use, with an
// encrypted access point and an access list, so that a backup has work to do.
Settings initial_configuration();
// Replaces every "ap/" entry of `s` by those of `from`.
void replace_wireless(Settings *s, const Settings &from);

// Appends one line to the request log: time, service, then `text` with
// control and non-ASCII bytes written as \xNN.
void log_request(const SimDir &d, const std::string &service, const std::string &text);

// "3.60.1.0.4-GQ" -> "3.60.1.0.5-GQ": the last number before the platform
// name, plus one. Text without that shape gets "-next" appended.
std::string bump_version(const std::string &version);

// The version in a kit's config.xml: the double-quoted text after
// "config version" (case-insensitive), as the wizard reads it. Empty when
// there is none.
std::string kit_version(const std::string &config_xml_path);

// Fingerprint of the flash partitions (file system and kernel).
std::string flash_fingerprint(const SimDir &d);

// Power-on: takes the running configuration from the saved one, and when the
// flash changed since the last boot runs the new image: the version becomes
// the configured next version and the wireless settings go back to factory
// defaults. Returns a one-line account for the log.
std::string boot(const SimDir &d);

}  // namespace gwsim

#endif
