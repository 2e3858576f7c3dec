// The secret key file holds, in base64 after a comment line:
//
//   "Ed"  signature algorithm
//   "Sc"  scrypt protects the key (two NUL bytes: no passphrase)
//   "B2"  the checksum below is BLAKE2b-256
//   32    scrypt salt
//   8     scrypt operations limit, little-endian
//   8     scrypt memory limit, little-endian
//   8     key id         the last three are XORed with scrypt's output
//   64    Ed25519 key    when protected
//   32    checksum       of "Ed", key id and key
//
// A wrong passphrase shows as a wrong checksum.
#include "sign.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contract/binding.h"
#include "contract/kitmeta.h"
#include "fdio.h"
#include "minisig.h"
#include "kit_files.h"

namespace {

const size_t kSaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
const size_t kSecretBytes = crypto_sign_SECRETKEYBYTES;
const size_t kCheckBytes = 32;
const size_t kProtectedBytes = MS_ID_BYTES + kSecretBytes + kCheckBytes;
const size_t kKeyFileBytes = 6 + kSaltBytes + 16 + kProtectedBytes;
// Longest passphrase, line end aside: a longer one is refused, never cut.
const size_t kPassMax = 1024;
// The most scrypt work a key file may ask for: what fwtag and the minisign
// tool write. A damaged or hostile key file could otherwise ask for any
// amount of memory and time before the passphrase is even judged.
const unsigned long long kOpsLimitMax = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
const unsigned long long kMemLimitMax = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;

// Byte offsets in the secret key file.
enum { kKdf = 2, kSalt = 6, kOps = kSalt + kSaltBytes, kMem = kOps + 8, kId = kMem + 8,
       kSecret = kId + MS_ID_BYTES, kCheck = kSecret + kSecretBytes };

struct SecretKey {
  unsigned char raw[kKeyFileBytes];
  ~SecretKey() { sodium_memzero(raw, sizeof raw); }
  const unsigned char *id() const { return raw + kId; }
  const unsigned char *secret() const { return raw + kSecret; }
};

int fail(const char *what, const char *why) {
  fprintf(stderr, "fwtag: %s: %s\n", what, why);
  return 1;
}

bool refuse(const char *what, const char *why) {
  fail(what, why);
  return false;
}

void le64_put(unsigned char *p, unsigned long long v) {
  for (int i = 0; i < 8; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

unsigned long long le64_get(const unsigned char *p) {
  unsigned long long v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void key_check(const unsigned char *raw, unsigned char out[kCheckBytes]) {
  crypto_generichash_state st;
  crypto_generichash_init(&st, nullptr, 0, kCheckBytes);
  crypto_generichash_update(&st, raw, 2);
  crypto_generichash_update(&st, raw + kId, MS_ID_BYTES + kSecretBytes);
  crypto_generichash_final(&st, out, kCheckBytes);
}

double seconds_now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

// XORs the protected part with scrypt's output for the passphrase. scrypt
// at this strength takes seconds: `what` says what is going on meanwhile.
bool apply_passphrase(unsigned char *raw, const char *pass, const char *what) {
  unsigned char stream[kProtectedBytes];
  fprintf(stderr, "fwtag: %s with the passphrase (scrypt: takes several seconds)...", what);
  fflush(stderr);
  const double start = seconds_now();
  bool ok = crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, pass, strlen(pass), raw + kSalt,
                                               le64_get(raw + kOps), (size_t)le64_get(raw + kMem)) == 0;
  fprintf(stderr, ok ? " done (%.1f s)\n" : " failed after %.1f s\n", seconds_now() - start);
  if (ok)
    for (size_t i = 0; i < kProtectedBytes; ++i) raw[kId + i] ^= stream[i];
  sodium_memzero(stream, sizeof stream);
  return ok;
}

// The terminal's settings while its echo is off, for the signal handler.
struct termios saved_terminal;
volatile sig_atomic_t echo_off = 0;
const int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Ctrl-C (or another end) at the prompt: the terminal gets its echo back
// before the signal ends the program as it would have.
void restore_echo_and_die(int sig) {
  if (echo_off) tcsetattr(0, TCSANOW, &saved_terminal);
  signal(sig, SIG_DFL);
  raise(sig);
}

enum PassResult { kPassGiven, kPassNone, kPassTooLong };

// One line from the terminal without echo, or from standard input when
// that is not a terminal (a build server pipes it in). Read a byte at a
// time straight from the descriptor: no stdio buffer keeps a copy, and
// nothing after the line is taken from a pipe. `out` holds kPassMax bytes;
// a longer line is read to its end and refused.
PassResult read_passphrase(const char *prompt, char *out) {
  const bool tty = isatty(0);
  struct sigaction old[sizeof kPromptSignals / sizeof kPromptSignals[0]];
  if (tty) {
    fputs(prompt, stderr);
    tcgetattr(0, &saved_terminal);
    struct termios quiet = saved_terminal;
    quiet.c_lflag &= ~(tcflag_t)ECHO;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = restore_echo_and_die;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof kPromptSignals / sizeof kPromptSignals[0]; ++i)
      sigaction(kPromptSignals[i], &sa, &old[i]);
    echo_off = 1;
    tcsetattr(0, TCSAFLUSH, &quiet);
  }
  size_t n = 0;
  bool too_long = false;
  for (;;) {
    char c;
    const ssize_t got = read(0, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (c == '\n') break;
    if (n + 1 < kPassMax) out[n++] = c;
    else too_long = true;
  }
  if (n > 0 && out[n - 1] == '\r') --n;
  out[n] = '\0';
  if (tty) {
    tcsetattr(0, TCSAFLUSH, &saved_terminal);
    echo_off = 0;
    for (size_t i = 0; i < sizeof kPromptSignals / sizeof kPromptSignals[0]; ++i)
      sigaction(kPromptSignals[i], &old[i], nullptr);
    fputc('\n', stderr);
  }
  if (too_long) {
    sodium_memzero(out, kPassMax);
    return kPassTooLong;
  }
  return n > 0 ? kPassGiven : kPassNone;
}

// Says why a passphrase was not taken.
const char *passphrase_problem(PassResult r) {
  return r == kPassTooLong ? "passphrase longer than 1023 bytes: refused rather than cut"
                           : "no passphrase given";
}

// Writes `text` to a new file `path` with `mode`; never replaces one.
bool write_new_file(const char *path, const char *text, mode_t mode) {
  Fd fd(open(path, O_WRONLY | O_CREAT | O_EXCL, mode));
  if (fd.get() < 0) return false;
  if (!fd_write_all(fd.get(), text, strlen(text)) || fsync(fd.get()) != 0) {
    unlink(path);
    return false;
  }
  return close(fd.release()) == 0;
}

// Writes `text` to `path` through a temporary file, so a reader never sees
// half a signature.
bool replace_file(const char *path, const char *text) {
  char tmp[4096];
  if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= (int)sizeof tmp) return false;
  unlink(tmp);
  if (!write_new_file(tmp, text, 0644)) return false;
  if (rename(tmp, path) != 0) {
    unlink(tmp);
    return false;
  }
  return true;
}

bool base64_line(const unsigned char *bin, size_t n, char *out, size_t size) {
  return sodium_base64_encoded_len(n, sodium_base64_VARIANT_ORIGINAL) <= size &&
         sodium_bin2base64(out, size, bin, n, sodium_base64_VARIANT_ORIGINAL) != nullptr;
}

// Zeroes a buffer that held secret text on every way out.
template <size_t N>
struct WipedText {
  char text[N];
  ~WipedText() { sodium_memzero(text, sizeof text); }
};

bool load_secret_key(const char *path, SecretKey *key) {
  WipedText<1024> file;
  char *text = file.text;
  Fd fd(open(path, O_RDONLY));
  ssize_t n = fd.get() < 0 ? -1 : fd_read_up_to(fd.get(), text, sizeof file.text - 1);
  if (n < 0) return refuse(path, strerror(errno));
  text[n] = '\0';
  unsigned char *raw = key->raw;
  auto key_line = [&](const char *line) {
    const size_t len = strcspn(line, "\r\n");
    size_t got = 0;
    const char *end = nullptr;
    return sodium_base642bin(raw, kKeyFileBytes, line, len, nullptr, &got, &end, sodium_base64_VARIANT_ORIGINAL) == 0 &&
           got == kKeyFileBytes && end == line + len && memcmp(raw, "Ed", 2) == 0 && memcmp(raw + 4, "B2", 2) == 0;
  };
  // The first line is the file's comment, whatever it says, unless it is
  // the key itself: the minisign tool skips it unread.
  const char *second = strchr(text, '\n');
  if (!key_line(text) && (second == nullptr || !key_line(second + 1))) return refuse(path, "not a secret key file");
  bool is_protected = memcmp(raw + kKdf, "Sc", 2) == 0;
  if (!is_protected && memcmp(raw + kKdf, "\0\0", 2) != 0)
    return refuse(path, "secret key protected in an unknown way");

  if (is_protected) {
    const unsigned long long ops = le64_get(raw + kOps), mem = le64_get(raw + kMem);
    if (ops > kOpsLimitMax || mem > kMemLimitMax) {
      char why[200];
      snprintf(why, sizeof why, "asks scrypt for %llu operations and %llu bytes, more than the %llu and %llu keys are made with: damaged?",
               ops, mem, kOpsLimitMax, kMemLimitMax);
      return refuse(path, why);
    }
    WipedText<kPassMax> pass;
    const PassResult given = read_passphrase("Passphrase of the secret key: ", pass.text);
    if (given != kPassGiven) return refuse(path, passphrase_problem(given));
    if (!apply_passphrase(raw, pass.text, "opening the secret key"))
      return refuse(path, "not enough memory to apply the passphrase");
  }
  unsigned char check[kCheckBytes], zero[kCheckBytes] = {0};
  key_check(raw, check);
  // minisign leaves the checksum of a key without passphrase empty.
  if (sodium_memcmp(check, raw + kCheck, kCheckBytes) != 0 &&
      (is_protected || sodium_memcmp(zero, raw + kCheck, kCheckBytes) != 0))
    return refuse(path, is_protected ? "wrong passphrase" : "secret key damaged (checksum wrong)");
  return true;
}

// The whole of a kit's small text file, as the wizard would read it.
bool read_kit_file(const std::string &path, std::string *text) {
  Fd fd(open(path.c_str(), O_RDONLY));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return refuse(path.c_str(), strerror(errno));
  if (!S_ISREG(st.st_mode) || st.st_size > GWC_KIT_TEXT_MAX) return refuse(path.c_str(), "not a kit file (too big, or not an ordinary file)");
  text->resize((size_t)st.st_size);
  ssize_t n = fd_read_up_to(fd.get(), &(*text)[0], text->size());
  if (n < 0) return refuse(path.c_str(), strerror(errno));
  text->resize((size_t)n);
  return true;
}

// What a kit's files say a signature binds: the platforms of upgrade.ini
// (blank-separated) and the version of config.xml.
bool kit_binding(const std::string &dir, std::string *platforms, std::string *version) {
  // Found as the wizard and velmora-kit find them: "CONFIG.XML" too.
  const std::string config_xml = dir + "/" + kit::kit_file(dir, "config.xml"),
                    upgrade_ini = dir + "/" + kit::kit_file(dir, "upgrade.ini");
  std::string config, ini;
  if (!read_kit_file(config_xml, &config) || !read_kit_file(upgrade_ini, &ini)) return false;
  gwc_span value;
  const char *why = "";
  if (!gwc_config_version(config.data(), config.size(), &value, &why)) return refuse(config_xml.c_str(), why);
  version->assign(config, value.at, value.length);
  gwc_version v;
  if (!gwc_version_parse(version->data(), version->size(), &v, &why))
    return refuse(config_xml.c_str(), ("version \"" + *version + "\" is malformed: " + why).c_str());
  platforms->clear();
  int count = 0;
  for (size_t pos = 0; count < GWC_PLATFORMS_MAX && gwc_ini_next_token(ini.data(), ini.size(), &pos, &value);) {
    if (!gwc_ini_is_platform(ini.data(), value)) continue;
    *platforms += (count++ ? " " : "") + ini.substr(value.at, value.length);
  }
  if (count == 0) return refuse(upgrade_ini.c_str(), "lists no platform (names starting with G)");
  return true;
}

// The files of a kit that the wizard sends: its images ("*.img" in any
// case, as Windows matches them) and prepare.bin.
std::vector<std::string> kit_files(const std::string &dir) {
  std::vector<std::string> files;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d)) {
      const std::string name = e->d_name;
      struct stat st;
      if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".img") == 0 &&
          stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
        files.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  const std::string prepare = dir + "/" + kit::kit_file(dir, "prepare.bin");
  if (access(prepare.c_str(), F_OK) == 0) files.push_back(prepare);
  return files;
}

// The trusted comment for `file`: the given one or a time stamp and the
// file's name, then the fields that bind it. false when it is too long or
// its fields are malformed.
bool make_comment(const std::string &file, const SignOptions &o, const std::string &platforms,
                  char out[MS_COMMENT_MAX]) {
  out[0] = '\0';
  bool fits = true;
  if (o.comment != nullptr) {
    if (strlen(o.comment) >= MS_COMMENT_MAX || strpbrk(o.comment, "\r\n") != nullptr)
      return refuse("--comment", "must be one line shorter than 1024 bytes");
    snprintf(out, MS_COMMENT_MAX, "%s", o.comment);
  } else {
    const size_t slash = file.rfind('/');
    const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
    const std::string stamp = std::to_string((long long)time(nullptr));
    fits = gwc_comment_append(out, MS_COMMENT_MAX, "timestamp", stamp.data(), stamp.size()) &&
           gwc_comment_append(out, MS_COMMENT_MAX, "file", base.data(), base.size()) &&
           gwc_comment_append(out, MS_COMMENT_MAX, "hashed", nullptr, 0);
  }
  if (!platforms.empty())
    fits = fits && gwc_comment_append(out, MS_COMMENT_MAX, GWC_FIELD_PLATFORMS, platforms.data(), platforms.size());
  if (o.version != nullptr)
    fits = fits && gwc_comment_append(out, MS_COMMENT_MAX, GWC_FIELD_VERSION, o.version, strlen(o.version));
  if (!fits) return refuse(file.c_str(), "the trusted comment would be longer than 1023 bytes");
  const char *why = "";
  if (!gwc_binding_check(out, strlen(out), &why)) return refuse("trusted comment", why);
  return true;
}

// Writes `file`.minisig: the file's digest signed with `key`, and the
// trusted comment signed together with that signature.
bool sign_one(const SecretKey &key, const std::string &file, const unsigned char digest[MS_DIGEST_BYTES],
              const char *trusted) {
  unsigned char sig_raw[2 + MS_ID_BYTES + MS_SIG_BYTES];
  unsigned char global_text[MS_SIG_BYTES + MS_COMMENT_MAX], global[MS_SIG_BYTES];
  memcpy(sig_raw, "ED", 2);
  memcpy(sig_raw + 2, key.id(), MS_ID_BYTES);
  unsigned char *sig = sig_raw + 2 + MS_ID_BYTES;
  crypto_sign_detached(sig, nullptr, digest, MS_DIGEST_BYTES, key.secret());
  size_t clen = strlen(trusted);
  memcpy(global_text, sig, MS_SIG_BYTES);
  memcpy(global_text + MS_SIG_BYTES, trusted, clen);
  crypto_sign_detached(global, nullptr, global_text, MS_SIG_BYTES + clen, key.secret());

  char sig_b64[128], global_b64[128], text[MS_SIG_TEXT_MAX];
  base64_line(sig_raw, sizeof sig_raw, sig_b64, sizeof sig_b64);
  base64_line(global, sizeof global, global_b64, sizeof global_b64);
  snprintf(text, sizeof text, "untrusted comment: signature from fwtag secret key\n%s\ntrusted comment: %s\n%s\n",
           sig_b64, trusted, global_b64);
  const std::string path = file + ".minisig";
  if (!replace_file(path.c_str(), text)) return refuse(path.c_str(), strerror(errno));
  char id[17];
  ms_id_text(key.id(), id);
  printf("%s: signed with key %s\n", path.c_str(), id);
  return true;
}

}  // namespace

int fwtag_keygen(const char *secret, const char *pub, bool no_passphrase) {
  if (sodium_init() < 0) return fail("libsodium", "cannot start");
  struct stat st;
  if (stat(secret, &st) == 0) return fail(secret, "exists; not overwritten");
  if (stat(pub, &st) == 0) return fail(pub, "exists; not overwritten");

  SecretKey key;
  unsigned char *raw = key.raw, pk[crypto_sign_PUBLICKEYBYTES];
  memset(raw, 0, sizeof key.raw);
  memcpy(raw, "Ed", 2);
  memcpy(raw + 4, "B2", 2);
  randombytes_buf(raw + kId, MS_ID_BYTES);
  crypto_sign_keypair(pk, raw + kSecret);
  unsigned char pub_raw[2 + MS_ID_BYTES + MS_KEY_BYTES];
  memcpy(pub_raw, "Ed", 2);
  memcpy(pub_raw + 2, raw + kId, MS_ID_BYTES);
  memcpy(pub_raw + 2 + MS_ID_BYTES, pk, MS_KEY_BYTES);
  char id[17];
  ms_id_text(raw + kId, id);
  key_check(raw, raw + kCheck);
  if (!no_passphrase) {
    WipedText<kPassMax> pass, again;
    PassResult given = read_passphrase("Passphrase for the new secret key: ", pass.text);
    if (given == kPassGiven && isatty(0)) {
      given = read_passphrase("The same passphrase again: ", again.text);
      if (given == kPassGiven && strcmp(pass.text, again.text) != 0)
        return fail(secret, "the two passphrases differ; nothing written");
    }
    if (given != kPassGiven)
      return fail(secret, given == kPassTooLong ? passphrase_problem(given)
                                                : "no passphrase given; -W makes a key without one");
    memcpy(raw + kKdf, "Sc", 2);
    randombytes_buf(raw + kSalt, kSaltBytes);
    le64_put(raw + kOps, kOpsLimitMax);
    le64_put(raw + kMem, kMemLimitMax);
    if (!apply_passphrase(raw, pass.text, "protecting the secret key"))
      return fail(secret, "not enough memory to apply the passphrase");
  }

  WipedText<256> b64;
  WipedText<512> text;
  base64_line(raw, kKeyFileBytes, b64.text, sizeof b64.text);
  snprintf(text.text, sizeof text.text, "untrusted comment: fwtag secret key %s\n%s\n", id, b64.text);
  if (!write_new_file(secret, text.text, 0600)) return fail(secret, strerror(errno));

  base64_line(pub_raw, sizeof pub_raw, b64.text, sizeof b64.text);
  snprintf(text.text, sizeof text.text, "untrusted comment: fwtag public key %s\n%s\n", id, b64.text);
  if (!write_new_file(pub, text.text, 0644)) return fail(pub, strerror(errno));
  printf("key %s: secret key in %s (keep it safe), public key in %s\n", id, secret, pub);
  return 0;
}

int fwtag_sign(const char *secret, const char *path, const SignOptions &options) {
  if (sodium_init() < 0) return fail("libsodium", "cannot start");
  SignOptions o = options;
  std::string platforms, version;
  std::vector<std::string> files;
  struct stat st;
  if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    // A kit: bound to what its own files say, and to nothing else.
    if (o.platforms != nullptr || o.version != nullptr) {
      fail(path, "a kit is bound to its upgrade.ini and config.xml; --platforms and --firmware-version are for single files");
      return 2;
    }
    if (!kit_binding(path, &platforms, &version)) return 1;
    o.version = version.c_str();
    files = kit_files(path);
    if (files.empty()) return fail(path, "holds no \"*.img\" and no prepare.bin to sign");
  } else {
    files.push_back(path);
    if (o.platforms != nullptr) {
      // Names as the option gives them, one blank between them.
      gwc_span list = {0, strlen(o.platforms)}, name;
      for (size_t pos = 0; gwc_platforms_next(o.platforms, list, &pos, &name);)
        platforms += (platforms.empty() ? "" : " ") + std::string(o.platforms + name.at, name.length);
      if (platforms.empty()) return fail("--platforms", "names no platform");
    }
  }
  if (o.version != nullptr) {
    gwc_version v;
    const char *why = "";
    if (!gwc_version_parse(o.version, strlen(o.version), &v, &why))
      return fail(o.version, (std::string("not a firmware version: ") + why).c_str());
  }

  // Everything that can fail without the key is done before its passphrase is asked.
  struct Job {
    std::string file;
    char comment[MS_COMMENT_MAX];
    unsigned char digest[MS_DIGEST_BYTES];
  };
  std::vector<Job> jobs(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    jobs[i].file = files[i];
    if (!make_comment(files[i], o, platforms, jobs[i].comment)) return 1;
    Fd fd(open(files[i].c_str(), O_RDONLY));
    if (fd.get() < 0 || !ms_digest_fd(fd.get(), jobs[i].digest)) return fail(files[i].c_str(), strerror(errno));
  }

  SecretKey key;
  if (!load_secret_key(secret, &key)) return 1;
  for (const Job &j : jobs)
    if (!sign_one(key, j.file, j.digest, j.comment)) return 1;
  return 0;
}

int fwtag_check_signature(const char *pub, const char *file) {
  struct ms_public_key key;
  struct ms_signature sig;
  char path[4096];
  if (!ms_load_public_key(pub, &key)) return fail(pub, "not a public key file");
  if (snprintf(path, sizeof path, "%s.minisig", file) >= (int)sizeof path) return fail(file, "name too long");
  if (access(path, F_OK) != 0) return fail(path, "missing: the file is not signed");
  const enum ms_result parsed = ms_load_signature(path, &sig);
  if (parsed != MS_OK) return fail(path, ms_result_text(parsed));
  Fd fd(open(file, O_RDONLY));
  if (fd.get() < 0) return fail(file, strerror(errno));
  enum ms_result r = ms_verify_fd(fd.get(), &sig, &key, 1);
  char id[17], given[17];
  ms_id_text(sig.id, id);
  ms_id_text(key.id, given);
  if (r == MS_UNKNOWN_KEY) {
    fprintf(stderr, "fwtag: %s: signed with key %s, not with the key %s of %s\n", file, id, given, pub);
    return 1;
  }
  if (r != MS_OK) {
    fprintf(stderr, "fwtag: %s: %s (key %s)\n", file, ms_result_text(r), id);
    return 1;
  }
  printf("%s: signature valid (key %s), trusted comment: %s\n", file, id, sig.comment);
  return 0;
}
