#include "signatures.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "contract/binding.h"
#include "contract/kitmeta.h"
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

// The kit's own word on what its signatures bind: the version of
// config.xml and the platform entries of upgrade.ini, as the wizard reads
// them. Empty when a file does not say (its own check reports that).
struct KitWord {
  std::string version, platforms;  // platforms blank-separated
};

KitWord kit_word(const std::string &dir) {
  KitWord w;
  std::string why;
  if (!config_version(dir + "/" + kit_file(dir, "config.xml"), &w.version, &why)) w.version.clear();
  std::vector<std::string> entries = upgrade_list(dir + "/" + kit_file(dir, "upgrade.ini"), nullptr);
  if (entries.size() > GWC_PLATFORMS_MAX) entries.resize(GWC_PLATFORMS_MAX);
  for (const std::string &e : entries) w.platforms += (w.platforms.empty() ? "" : " ") + e;
  return w;
}

// Whether two platform lists name the same platforms, as a gateway
// compares them (any order, any case).
bool same_platforms(const char *a_text, gwc_span a, const std::string &b) {
  const gwc_span b_span = {0, b.size()};
  size_t pos = 0;
  gwc_span name;
  while (gwc_platforms_next(a_text, a, &pos, &name))
    if (!gwc_platforms_include(b.data(), b_span, a_text + name.at, name.length)) return false;
  for (pos = 0; gwc_platforms_next(b.data(), b_span, &pos, &name);)
    if (!gwc_platforms_include(a_text, a, b.data() + name.at, name.length)) return false;
  return true;
}

// What a valid signature binds, against what the kit's files say.
void check_binding(const std::string &sig_name, const char *comment, const KitWord &kit, Report *r) {
  const size_t length = strlen(comment);
  const char *why = "";
  if (!gwc_binding_check(comment, length, &why)) {
    r->add(kError, sig_name, std::string(why) + ": a gateway that declares its platform or lowest version refuses it (fail[23])");
    return;
  }
  gwc_span platforms, version;
  const bool bound_platforms = gwc_comment_field(comment, length, GWC_FIELD_PLATFORMS, &platforms) == 1;
  const bool bound_version = gwc_comment_field(comment, length, GWC_FIELD_VERSION, &version) == 1;
  if (!bound_platforms && !bound_version) {
    r->add(kNote, sig_name, "binds no platforms and no version: every gateway that holds the key takes the file, "
                            "for whatever platform and however old (fwtag sign --key KEY KIT binds them)");
    return;
  }
  const std::string resign = ": the signature and the kit disagree; sign the kit again (fwtag sign --key KEY KIT)";
  bool ok = true;
  if (bound_platforms && !same_platforms(comment, platforms, kit.platforms)) {
    r->add(kError, sig_name, "signed for platforms \"" + std::string(comment + platforms.at, platforms.length) +
                                 "\", but upgrade.ini lists \"" + kit.platforms + "\"" + resign);
    ok = false;
  }
  if (bound_version) {
    gwc_version s, k;
    const std::string signed_version(comment + version.at, version.length);
    const bool same = gwc_version_parse(signed_version.data(), signed_version.size(), &s, &why) &&
                      gwc_version_parse(kit.version.data(), kit.version.size(), &k, &why) &&
                      gwc_version_same(signed_version.data(), &s, kit.version.data(), &k);
    if (!same) {
      r->add(kError, sig_name, "signed for version " + signed_version + ", but config.xml says \"" + kit.version + "\"" + resign);
      ok = false;
    }
  }
  if (ok)
    r->add(kOk, sig_name, std::string("bound to ") + (bound_platforms ? "the platforms of upgrade.ini" : "") +
                              (bound_platforms && bound_version ? " and " : "") +
                              (bound_version ? "the version of config.xml" : ""));
}

void check_one(const std::string &dir, const std::string &name, const ms_public_key *key, const KitWord &kit,
               Report *r) {
  // The signature as the wizard finds it: "fw.img.MINISIG" goes along too.
  const std::string found = signature_file(dir, name);
  const std::string path = dir + "/" + kit_file(dir, name), sig_name = found.empty() ? name + ".minisig" : found,
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
  const enum ms_result parsed = ms_load_signature(sig_path.c_str(), &sig);
  if (parsed != MS_OK) {
    r->add(kError, sig_name, std::string(ms_result_text(parsed)) + ": a gateway that holds keys refuses it (fail[23])");
    return;
  }
  Fd fd(open(path.c_str(), O_RDONLY));
  enum ms_result res = fd.get() < 0 ? MS_READ_ERROR : ms_verify_fd(fd.get(), &sig, key, 1);
  char id[17], given[17], text[1400];
  ms_id_text(sig.id, id);
  ms_id_text(key->id, given);
  if (res == MS_OK)
    snprintf(text, sizeof text, "signature valid (key %s; trusted comment: %s)", id, sig.comment);
  else if (res == MS_UNKNOWN_KEY)
    snprintf(text, sizeof text, "signed with key %s, not with the given key %s: a gateway that holds only the given key refuses it (fail[23])",
             id, given);
  else
    snprintf(text, sizeof text, "%s (key %s): a gateway that holds this key refuses it (fail[23])",
             ms_result_text(res), id);
  r->add(res == MS_OK ? kOk : kError, sig_name, text);
  if (res == MS_OK) check_binding(sig_name, sig.comment, kit, r);
}

// In a two-step upgrade the image goes to the gateway's own upgrade
// service, which checks no signature: a signed kit's protection rests on
// its signed prepare.bin alone.
void check_two_step(const std::string &dir, const std::string &pubkey, Report *r) {
  if (!is_file(dir + "/" + kit_file(dir, "prepare.bin"))) return;
  bool signed_kit = !pubkey.empty();
  for (const std::string &name : sent_files(dir)) signed_kit = signed_kit || !signature_file(dir, name).empty();
  if (signed_kit)
    r->add(kWarning, "prepare.bin",
           "a signed two-step kit: the image then goes to the gateway's own upgrade service (port 8080), which "
           "checks no signature; a keyed gateway's protection rests on the signed prepare.bin (kits.md, "
           "\"The two-step image\")");
}

}  // namespace

void check_signatures(const std::string &dir, const std::string &pubkey, Report *report) {
  ms_public_key key;
  if (!pubkey.empty() && !ms_load_public_key(pubkey.c_str(), &key)) {
    report->add(kError, pubkey, "not a public key file");
    return;
  }
  const KitWord kit = kit_word(dir);
  for (const std::string &name : sent_files(dir)) check_one(dir, name, pubkey.empty() ? nullptr : &key, kit, report);
  check_two_step(dir, pubkey, report);
}

}  // namespace kit
