#include "signatures.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "fdio.h"
#include "kit_files.h"
#include "minisig.h"

namespace kit {

namespace {

bool is_file(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The files the wizard sends: the image(s) and prepare.bin.
std::vector<std::string> sent_files(const std::string &dir) {
  std::vector<std::string> names = image_files(dir);
  names.push_back("prepare.bin");
  return names;
}

void check_one(const std::string &dir, const std::string &name, const ms_public_key *key, Report *r) {
  // The signature as the wizard finds it: "fw.img.MINISIG" goes along too.
  const std::string found = signature_file(dir, name);
  const std::string path = dir + "/" + name, sig_name = found.empty() ? name + ".minisig" : found,
                    sig_path = dir + "/" + sig_name;
  if (!is_file(path)) return;
  bool present = !found.empty();
  if (key == nullptr) {
    if (present) r->add(kNote, sig_name, "present; give --pubkey KEY to check it");
    return;
  }
  if (!present) {
    r->add(kError, name, "not signed (no " + sig_name + "): a gateway that holds keys refuses it (fail[23])");
    return;
  }
  ms_signature sig;
  if (!ms_load_signature(sig_path.c_str(), &sig)) {
    r->add(kError, sig_name, "not a signature file, or longer than the gateway takes (fail[23])");
    return;
  }
  Fd fd(open(path.c_str(), O_RDONLY));
  enum ms_result res = fd.get() < 0 ? MS_READ_ERROR : ms_verify_fd(fd.get(), &sig, key, 1);
  char id[17], text[1400];
  ms_id_text(sig.id, id);
  if (res == MS_OK)
    snprintf(text, sizeof text, "signature valid (key %s; trusted comment: %s)", id, sig.comment);
  else
    snprintf(text, sizeof text, "%s (key %s): a gateway that holds this key refuses it (fail[23])",
             ms_result_text(res), id);
  r->add(res == MS_OK ? kOk : kError, sig_name, text);
}

}  // namespace

void check_signatures(const std::string &dir, const std::string &pubkey, Report *report) {
  ms_public_key key;
  if (!pubkey.empty() && !ms_load_public_key(pubkey.c_str(), &key)) {
    report->add(kError, pubkey, "not a public key file");
    return;
  }
  for (const std::string &name : sent_files(dir)) check_one(dir, name, pubkey.empty() ? nullptr : &key, report);
}

}  // namespace kit
