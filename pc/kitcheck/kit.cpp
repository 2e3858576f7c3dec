#include "kit.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "cfgmgr_cksum.h"
#include "le.h"
#include "platform/files.h"

namespace kit {

namespace {

// Limits of the upload as the gateway counts it: the wizard announces the
// file size plus 220 bytes, and dornix refuses an announcement under 655,360
// and a body that has passed 8,191,999 bytes after a data line.
const uint64_t kAnnouncedExtra = 220;
const uint64_t kMinAnnounced = 655360;
const uint64_t kMaxBodyBytes = 8191999;
const uint64_t kKernelPartition = 0xA0000;
const size_t kSlot = 19;          // version field and platform entry slots hold 19 / 29 characters
const size_t kEntrySlot = 29;
const int kMaxEntries = 101;
// config.xml and upgrade.ini are a few lines; anything bigger is not one.
const uint64_t kLongestTextFile = 1 << 20;

std::string fmt(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string fmt(const char *format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

std::string lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string upper(std::string s) {
  for (char &c : s) c = (char)toupper((unsigned char)c);
  return s;
}

std::string with_commas(uint64_t n) {
  std::string digits = fmt("%llu", (unsigned long long)n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

bool file_size(const std::string &path, uint64_t *size) {
  return velmora::platform::IsRegularFile(path, size);
}

// The whole of a small text file: only an ordinary file, at most
// kLongestTextFile bytes (a device or an endless file is refused, never read).
bool read_text_file(const std::string &path, std::string *text, std::string *why) {
  uint64_t size = 0;
  if (!velmora::platform::PathExists(path)) {
    *why = "missing";
    return false;
  }
  if (!file_size(path, &size)) {
    *why = "not an ordinary file";
    return false;
  }
  if (size > kLongestTextFile) {
    *why = fmt("%s bytes; more than %s is not a kit file", with_commas(size).c_str(), with_commas(kLongestTextFile).c_str());
    return false;
  }
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "cannot be read";
    return false;
  }
  text->assign((size_t)kLongestTextFile + 1, '\0');
  size_t got = fread(&(*text)[0], 1, text->size(), f);
  fclose(f);
  text->resize(got);
  if (got > kLongestTextFile) {
    *why = "grew while it was read";
    return false;
  }
  return true;
}

// Whether a package member would land outside the folder it is unpacked in.
bool escapes(const std::string &name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return true;
  size_t pos = 0;
  for (;;) {
    size_t slash = name.find('/', pos);
    std::string part = name.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    if (part == "..") return true;
    if (slash == std::string::npos) return false;
    pos = slash + 1;
  }
}

// The field of a tar header as text: up to its first NUL.
std::string tar_text(const unsigned char *p, size_t n) {
  size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  return std::string(reinterpret_cast<const char *>(p), len);
}

bool tar_number(const unsigned char *p, size_t n, uint64_t *out) {
  uint64_t v = 0;
  if (p[0] & 0x80) {  // GNU base-256 for big sizes
    v = p[0] & 0x7f;
    for (size_t i = 1; i < n; ++i) v = v << 8 | p[i];
    *out = v;
    return true;
  }
  size_t i = 0;
  while (i < n && p[i] == ' ') ++i;
  bool any = false;
  for (; i < n && p[i] >= '0' && p[i] <= '7'; ++i) {
    v = v * 8 + (uint64_t)(p[i] - '0');
    any = true;
  }
  *out = v;
  return any || (i < n && (p[i] == 0 || p[i] == ' '));
}

std::string strip_dot_slash(std::string name) {
  while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
  return name;
}

}  // namespace

void Report::add(Severity s, const std::string &file, const std::string &text) {
  findings.push_back({s, file, text});
  if (s == kError) ++errors;
  if (s == kWarning) ++warnings;
}

bool parse_version(const std::string &text, Version *out, std::string *why) {
  size_t dash = text.find('-'), dot = text.find('.');
  if (dash == std::string::npos && dot == std::string::npos) {
    *why = "neither \".\" nor \"-\" in it";
    return false;
  }
  std::string rest = text;
  if (dash != std::string::npos && dot != std::string::npos && dash < dot) rest = text.substr(dash + 1);
  if (rest.empty()) {
    *why = "nothing after the leading name";
    return false;
  }
  int dots = (int)std::count(rest.begin(), rest.end(), '.');
  if (dots < 4 || dots > 10) {
    *why = fmt("%d dots; five to eleven numbers (4 to 10 dots) are needed", dots);
    return false;
  }
  Version v;
  v.dots = dots;
  size_t pos = 0;
  for (int i = 0; i < dots; ++i) {
    size_t next = rest.find('.', pos);
    v.fields.push_back(rest.substr(pos, next - pos));
    pos = next + 1;
  }
  std::string last = rest.substr(pos);
  size_t d = last.find('-');
  if (d == std::string::npos) {
    *why = "no \"-\" between the last number and the platform name";
    return false;
  }
  v.fields.push_back(last.substr(0, d));
  v.fields.push_back(upper(last.substr(d + 1)));
  *out = v;
  return true;
}

bool config_version(const std::string &path, std::string *version, std::string *why) {
  std::string text;
  if (!read_text_file(path, &text, why)) return false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string l = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos + 1);
    pos = end == std::string::npos ? text.size() : end + 1;
    size_t at = lower(l).find("config version");
    if (at == std::string::npos) continue;
    std::string window = l.substr(at, 200);
    size_t q1 = window.find('"');
    if (q1 == std::string::npos) {
      *why = "no double quote within 200 characters after \"config version\"";
      return false;
    }
    std::string after = l.substr(at + q1 + 1, 200);
    size_t q2 = after.find('"');
    if (q2 == std::string::npos) {
      *why = "no closing double quote within 200 characters";
      return false;
    }
    *version = after.substr(0, q2);
    return true;
  }
  *why = "no line holds \"config version\"";
  return false;
}

std::vector<std::string> upgrade_list(const std::string &path, std::vector<std::string> *other) {
  std::vector<std::string> entries;
  std::string text, why;
  if (!read_text_file(path, &text, &why)) return entries;
  std::string token;
  auto take = [&]() {
    if (token.empty()) return;
    if ((token[0] == 'G' || token[0] == 'g'))
      entries.push_back(token);
    else if (other != nullptr)
      other->push_back(token);
    token.clear();
  };
  for (char c : text) {
    if (isspace((unsigned char)c))
      take();
    else
      token += c;
  }
  take();
  return entries;
}

bool tar_list(const std::string &path, std::vector<TarEntry> *out, std::string *why) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *why = "cannot be opened";
    return false;
  }
  out->clear();
  unsigned char h[512];
  std::string long_name;
  uint64_t offset = 0;
  bool ok = false;
  for (;;) {
    size_t got = fread(h, 1, sizeof h, f);
    if (got == 0 && !out->empty()) {
      ok = true;  // no end blocks, but every member was whole
      break;
    }
    if (got != sizeof h) {
      *why = fmt("ends inside a header at byte %llu", (unsigned long long)offset);
      break;
    }
    if (std::all_of(h, h + 512, [](unsigned char b) { return b == 0; })) {
      ok = !out->empty();
      if (!ok) *why = "holds no member";
      break;
    }
    uint64_t stored = 0;
    unsigned sum = 0;
    for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : h[i];
    if (!tar_number(h + 148, 8, &stored) || stored != sum) {
      *why = offset == 0 ? "not a tar archive" : fmt("header checksum wrong at byte %llu", (unsigned long long)offset);
      break;
    }
    uint64_t size = 0, mode = 0;
    tar_number(h + 124, 12, &size);
    tar_number(h + 100, 8, &mode);
    char type = h[156] == 0 ? '0' : (char)h[156];
    std::string name = tar_text(h, 100);
    if (memcmp(h + 257, "ustar", 5) == 0 && h[345] != 0) name = tar_text(h + 345, 155) + "/" + name;
    uint64_t blocks = (size + 511) / 512;
    std::string data;
    if (type == 'L' || type == 'x') {
      data.resize((size_t)(blocks * 512));
      if (fread(&data[0], 1, data.size(), f) != data.size()) {
        *why = "ends inside a member";
        break;
      }
      data.resize((size_t)size);
    } else if (blocks > 0 && fseek(f, (long)(blocks * 512), SEEK_CUR) != 0) {
      *why = "ends inside a member";
      break;
    }
    offset += 512 + blocks * 512;
    if (type == 'L') {  // GNU: the next member's long name
      long_name = tar_text(reinterpret_cast<const unsigned char *>(data.data()), data.size());
      continue;
    }
    if (type == 'x') {  // pax: "length path=value\n" records
      size_t p = data.find(" path=");
      if (p != std::string::npos) long_name = data.substr(p + 6, data.find('\n', p) - p - 6);
      continue;
    }
    if (type == 'g') continue;
    if (!long_name.empty()) {
      name = long_name;
      long_name.clear();
    }
    out->push_back({strip_dot_slash(name), type, (unsigned)mode, size});
  }
  if (ok) {
    // A member whose data runs past the end of the file shows as a short file.
    long here = ftell(f);
    fseek(f, 0, SEEK_END);
    if (ftell(f) < here) {
      ok = false;
      *why = "ends inside a member";
    }
  }
  fclose(f);
  return ok;
}

uint32_t image_checksum(const void *data, size_t length) { return cs_calc_buf_sum(data, length); }

ImageKind image_kind(const unsigned char first[4], uint64_t size) {
  switch (le32_get(first)) {
    case 0x6E6F633Cu: return kConfigFile;
    case 0x73717368u:
    case 0x28CD3D45u:
    case 0xE0011985u: return kFileSystem;
    case 0xFEEDFA42u: return size <= kKernelPartition + CS_TAG_SIZE ? kKernel : kCombined;
    default: return kUnknown;
  }
}

uint64_t upload_body_bytes(const std::string &name, uint64_t size) {
  // Delimiter line, part header with the file name, empty line, the data and
  // the line end that closes its last line before the closing delimiter.
  std::string head = "----MULTI-PARTS-FORM-DATA-BOUNDARY\r\n"
                     "Content-Disposition: form-data; name=\"UploadFile\"; filename=\"" + name + "\"\r\n"
                     "Content-Type: application/octet-stream\r\n\r\n";
  return head.size() + size + 2;
}

namespace {

// The limits that the gateway applies to any file the wizard posts to it.
void check_upload_size(Report *r, const std::string &name, uint64_t size) {
  if (size + kAnnouncedExtra < kMinAnnounced)
    r->add(kError, name, fmt("%s bytes; the gateway refuses uploads of less than %s bytes (fail[6]); pad it", with_commas(size).c_str(), with_commas(kMinAnnounced - kAnnouncedExtra).c_str()));
  if (upload_body_bytes(name, size) > kMaxBodyBytes)
    r->add(kError, name, fmt("%s bytes; the gateway takes at most %s bytes of file (fail[7])", with_commas(size).c_str(), with_commas(kMaxBodyBytes - upload_body_bytes(name, 0)).c_str()));
}

void check_image(const std::string &dir, Report *r) {
  std::vector<std::string> images, lookalikes;
  for (const std::string &n : velmora::platform::FindFiles(dir, "*")) {
    std::string l = lower(n);
    size_t dot = l.rfind('.');
    if (dot == std::string::npos) continue;
    // The wizard looks for "*.img" on Windows, where case does not count.
    if (l.substr(dot) == ".img")
      images.push_back(n);
    else if (l.compare(dot, 4, ".img") == 0)
      lookalikes.push_back(n);
  }
  std::sort(images.begin(), images.end());
  for (const std::string &n : lookalikes)
    r->add(kWarning, n, "Windows may count this as a \"*.img\" file too (through its short name); rename it");
  if (images.empty()) {
    r->add(kError, "*.img", "no firmware image (\"*.img\") in the kit");
    return;
  }
  if (images.size() > 1) {
    std::string list;
    for (const auto &n : images) list += (list.empty() ? "" : ", ") + n;
    r->add(kError, "*.img", fmt("%zu images (%s); the wizard needs exactly one", images.size(), list.c_str()));
    return;
  }
  const std::string name = images[0], path = velmora::platform::JoinPath(dir, name);
  uint64_t size = 0;
  if (!file_size(path, &size)) {
    r->add(kError, name, "not an ordinary file");
    return;
  }
  if (upload_body_bytes(name, size) > kMaxBodyBytes) {
    // Too big to go up at all: not worth reading to the end.
    check_upload_size(r, name, size);
    return;
  }
  FILE *f = fopen(path.c_str(), "rb");
  unsigned char first[4] = {0, 0, 0, 0};
  if (f == nullptr || fread(first, 1, 4, f) != 4 || size < CS_TAG_SIZE + 4) {
    if (f) fclose(f);
    r->add(kError, name, "too short to be an image");
    return;
  }
  if (name.find('"') != std::string::npos)
    r->add(kError, name, "a double quote in the file name breaks the upload request");
  bool has_tag = cs_is_tagged(f) != 0;
  uint64_t payload = has_tag ? size - CS_TAG_SIZE : size;
  switch (image_kind(first, size)) {
    case kConfigFile:
      r->add(kError, name, "a configuration file (\"<con\"), not a firmware image: the gateway would store it as its configuration");
      break;
    case kFileSystem:
      r->add(kOk, name, fmt("file system image, %s bytes for /dev/mtdblock/0", with_commas(payload).c_str()));
      break;
    case kKernel:
      r->add(kOk, name, fmt("kernel image, %s bytes for /dev/mtdblock/1", with_commas(payload).c_str()));
      break;
    case kCombined:
      r->add(kOk, name, fmt("combined image: %s bytes kernel, %s bytes file system", with_commas(kKernelPartition).c_str(), with_commas(payload - kKernelPartition).c_str()));
      break;
    case kUnknown:
      r->add(kError, name, fmt("unknown image kind, first bytes %02X %02X %02X %02X (the gateway answers fail[15])", first[0], first[1], first[2], first[3]));
      break;
  }
  if (!has_tag) {
    r->add(kError, name, "no image tag at its end (the gateway answers fail[12]); add one with fwtag");
  } else {
    uint32_t computed = 0, stored = 0;
    if (!cs_calc_sum(f, &computed, 1) || !cs_get_sum(f, &stored)) {
      r->add(kError, name, "cannot be read to the end");
    } else {
      if (computed != stored)
        r->add(kError, name, fmt("tag checksum %u, but the image sums to %u (the gateway answers fail[14])", stored, computed));
      else
        r->add(kOk, name, fmt("image tag valid (checksum %u)", computed));
    }
  }
  fclose(f);
  check_upload_size(r, name, size);
}

bool check_config(const std::string &dir, Report *r, Version *version) {
  std::string text, why;
  if (!config_version(velmora::platform::JoinPath(dir, "config.xml"), &text, &why)) {
    r->add(kError, "config.xml", why == "missing" ? "missing: every gateway refuses the kit"
                                                  : why + ": the wizard finds no version");
    return false;
  }
  std::string copy = text;
  if (!parse_version(copy, version, &why)) {
    r->add(kError, "config.xml", "version \"" + text + "\" is malformed: " + why);
    return false;
  }
  bool ok = true;
  for (size_t i = 0; i < version->fields.size(); ++i) {
    const std::string &field = version->fields[i];
    if (field.size() > kSlot) {
      r->add(kError, "config.xml", fmt("version field \"%s\" is longer than %zu characters", field.c_str(), kSlot));
      ok = false;
    }
    if (i + 1 < version->fields.size()) {
      size_t p = field.find_first_not_of(" ");
      if (p == std::string::npos || (!isdigit((unsigned char)field[p]) &&
                                     !((field[p] == '+' || field[p] == '-') && p + 1 < field.size() && isdigit((unsigned char)field[p + 1]))))
        r->add(kWarning, "config.xml", "version field \"" + field + "\" is not a number; it compares as 0");
    }
  }
  if (version->platform().empty()) {
    r->add(kError, "config.xml", "version \"" + text + "\" names no platform after the last \"-\"");
    ok = false;
  }
  if (ok) r->add(kOk, "config.xml", fmt("version %s (%d numbers, platform %s)", text.c_str(), version->dots + 1, version->platform().c_str()));
  return ok;
}

void check_upgrade_ini(const std::string &dir, Report *r, const Version *version) {
  std::string path = velmora::platform::JoinPath(dir, "upgrade.ini"), text, why;
  if (!read_text_file(path, &text, &why)) {
    r->add(kError, "upgrade.ini", why + ": the wizard refuses every gateway (it upgrades only the platforms listed)");
    return;
  }
  std::vector<std::string> other;
  std::vector<std::string> entries = upgrade_list(path, &other);
  if (entries.empty()) {
    r->add(kError, "upgrade.ini", "lists no platform (tokens starting with G): the wizard refuses every gateway");
    return;
  }
  bool listed = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string &e = entries[i];
    if ((int)i >= kMaxEntries) {
      r->add(kWarning, "upgrade.ini", fmt("%zu platforms; the wizard reads only the first %d", entries.size(), kMaxEntries));
      break;
    }
    if (e.size() > kEntrySlot)
      r->add(kError, "upgrade.ini", fmt("entry \"%s\" is longer than %zu characters", e.c_str(), kEntrySlot));
    else if (upper(e) != e)
      r->add(kWarning, "upgrade.ini", "entry \"" + e + "\" never matches: gateways report their platform in upper case");
    if (version != nullptr && e == version->platform()) listed = true;
  }
  for (const std::string &t : other)
    r->add(kNote, "upgrade.ini", "token \"" + t + "\" is ignored (entries start with G)");
  if (version != nullptr && !listed)
    r->add(kError, "upgrade.ini", "does not list the kit's platform " + version->platform() +
                                      ": the wizard refuses the gateways the kit is for");
  r->add(kOk, "upgrade.ini", fmt("%zu platform%s", std::min(entries.size(), (size_t)kMaxEntries), entries.size() == 1 ? "" : "s"));
}

void check_prepare(const std::string &dir, Report *r) {
  std::string path = velmora::platform::JoinPath(dir, "prepare.bin");
  uint64_t size;
  if (!velmora::platform::PathExists(path)) return;  // a one-step kit
  if (!file_size(path, &size)) {
    r->add(kError, "prepare.bin", "not an ordinary file");
    return;
  }
  if (upload_body_bytes("prepare.bin", size) > kMaxBodyBytes) {
    check_upload_size(r, "prepare.bin", size);
    return;
  }
  FILE *f = fopen(path.c_str(), "rb");
  unsigned char magic[2] = {0, 0};
  if (f != nullptr) {
    size_t got = fread(magic, 1, 2, f);
    (void)got;
    fclose(f);
  }
  if (magic[0] == 0x1F && magic[1] == 0x8B) {
    r->add(kWarning, "prepare.bin", "compressed (gzip); cannot look inside; the gateway unpacks it with a plain \"tar xf\"");
    check_upload_size(r, "prepare.bin", size);
    return;
  }
  std::vector<TarEntry> members;
  std::string why;
  if (!tar_list(path, &members, &why)) {
    r->add(kError, "prepare.bin", why + ": the gateway would take it for an image and refuse it");
    return;
  }
  const TarEntry *inf = nullptr, *script = nullptr;
  int errors_before = r->errors;
  for (const TarEntry &m : members) {
    if (m.name == "pkg/fw.inf") inf = &m;
    if (m.name == "pkg/fw_exec.sh") script = &m;
    // The gateway's rules for package members: nothing that lands outside
    // the folder it is unpacked in, no links, nothing but files and folders.
    if (escapes(m.name))
      r->add(kError, "prepare.bin", "member \"" + m.name + "\" unpacks outside /var/tmp (the gateway refuses the package)");
    if (m.type == '1' || m.type == '2')
      r->add(kError, "prepare.bin", "member \"" + m.name + "\" is a link (the gateway refuses the package)");
    else if (m.type != '0' && m.type != '7' && m.type != '5')
      r->add(kError, "prepare.bin", fmt("member \"%s\" is of type '%c', not a file or folder (the gateway refuses the package)", m.name.c_str(), m.type));
  }
  if (inf == nullptr)
    r->add(kError, "prepare.bin", "no pkg/fw.inf: the gateway would not run the package but take it for an image");
  if (script == nullptr) {
    r->add(kError, "prepare.bin", "no pkg/fw_exec.sh: the package has no script to run");
  } else if (script->type != '0' && script->type != '7') {
    r->add(kError, "prepare.bin", "pkg/fw_exec.sh is not a plain file");
  } else if ((script->mode & 0111) == 0) {
    r->add(kError, "prepare.bin", fmt("pkg/fw_exec.sh has mode %03o: not executable, the shell cannot run it", script->mode & 0777));
  }
  if (r->errors == errors_before)
    r->add(kOk, "prepare.bin", fmt("package with %zu members, pkg/fw.inf and pkg/fw_exec.sh", members.size()));
  check_upload_size(r, "prepare.bin", size);
}

}  // namespace

void check_kit(const std::string &dir, Report *report) {
  if (!velmora::platform::IsDirectory(dir)) {
    report->add(kError, "", "not a folder: " + dir);
    return;
  }
  check_image(dir, report);
  Version version;
  bool have_version = check_config(dir, report, &version);
  check_upgrade_ini(dir, report, have_version ? &version : nullptr);
  check_prepare(dir, report);
}

bool kit_usable(const std::string &dir, std::string *problem, Report *out) {
  Report own;
  Report &report = out ? *out : own;
  check_kit(dir, &report);
  for (const Finding &f : report.findings) {
    if (f.severity != kError) continue;
    *problem = f.file.empty() ? f.text : f.file + ": " + f.text;
    return false;
  }
  return true;
}

}  // namespace kit
