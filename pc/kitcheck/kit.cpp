#include "kit.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "contract/image.h"
#include "contract/kitmeta.h"
#include "contract/result.h"
#include "contract/tar.h"
#include "contract/upload.h"
#include "contract/version.h"
#include "kit_files.h"
#include "platform/files.h"

namespace kit {

namespace {

const uint64_t kKernelPartition = GWC_KERNEL_PARTITION_SIZE;
const size_t kSlot = GWC_VERSION_FIELD_MAX;  // version field and platform entry slots
const size_t kEntrySlot = GWC_PLATFORM_MAX;
const int kMaxEntries = GWC_PLATFORMS_MAX;
const uint64_t kLongestTextFile = GWC_KIT_TEXT_MAX;
// Longest signature file that the wizard sends along.
const uint64_t kLongestSignature = 4096;

std::string fmt(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string fmt(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string out(256, '\0');
  int n = vsnprintf(&out[0], out.size(), format, ap);
  va_end(ap);
  if (n >= (int)out.size()) {
    // A text of any length keeps its end, where the reason is.
    out.assign((size_t)n + 1, '\0');
    va_start(ap, format);
    vsnprintf(&out[0], out.size(), format, ap);
    va_end(ap);
  }
  out.resize(n < 0 ? 0 : (size_t)n);
  return out;
}

// A text from a kit file, in double quotes, as a terminal can show it:
// control bytes escaped, and a long one shortened to its start and length.
// Bytes beyond ASCII are escaped too: versions and platform names are plain
// ASCII, and a no-break space between two of them would look like a blank.
std::string quoted(const std::string &s) {
  const size_t kShown = 40;
  std::string out = "\"";
  for (size_t i = 0; i < s.size() && i < kShown; ++i) {
    const unsigned char c = (unsigned char)s[i];
    out += c < 0x20 || c >= 0x7F ? fmt("\\x%02X", c) : std::string(1, (char)c);
  }
  out += s.size() > kShown ? fmt("...\" (%zu characters)", s.size()) : "\"";
  return out;
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
  FILE *f = velmora::platform::OpenCFile(path, "rb");
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

// A kit file's text as every reader sees it (contract/kitmeta.h): read
// whole, and refused with the fix when saved as UTF-16.
bool read_kit_file(const std::string &path, std::string *text, std::string *why) {
  if (!read_text_file(path, text, why)) return false;
  gwc_span t;
  const char *reason = "";
  if (!gwc_kit_text(text->data(), text->size(), &t, &reason)) {
    *why = std::string(reason) + "; save it again as UTF-8 or ANSI (Notepad: Save As, Encoding)";
    return false;
  }
  return true;
}

// Where the kit holds its file `name`, in whatever case (kit_files.h).
std::string kit_path(const std::string &dir, const char *name) {
  return velmora::platform::JoinPath(dir, kit_file(dir, name));
}

// A missing kit file that an editor saved under another name: Notepad adds
// ".txt", and Windows hides that ending, so the folder seems to hold it.
std::string renamed(const std::string &dir, const char *name) {
  const std::string txt = kit_file(dir, std::string(name) + ".txt");
  if (!velmora::platform::PathExists(velmora::platform::JoinPath(dir, txt))) return "";
  return fmt("; %s is there (Windows hides its ending .txt): rename it to %s", txt.c_str(), name);
}

// The archive is read through a stdio stream, at any offset.
long read_file(void *ctx, uint64_t offset, void *buffer, size_t length) {
  FILE *f = static_cast<FILE *>(ctx);
#ifdef _WIN32
  if (_fseeki64(f, (long long)offset, SEEK_SET) != 0) return -1;
#else
  if (fseeko(f, (off_t)offset, SEEK_SET) != 0) return -1;
#endif
  size_t got = fread(buffer, 1, length, f);
  return ferror(f) ? -1 : (long)got;
}

}  // namespace

void Report::add(Severity s, const std::string &file, const std::string &text) {
  bool file_failed = false;
  for (Finding &f : findings) {
    // The same finding twice (an entry listed twice) is one finding.
    if (f.severity == s && f.file == file && f.text == text) return;
    file_failed = file_failed || (f.file == file && f.severity == kError);
  }
  // One verdict per file: once a file has an error, what was fine about it
  // is only a note, before or after the error.
  if (s == kOk && file_failed && !file.empty()) s = kNote;
  if (s == kError && !file.empty())
    for (Finding &f : findings)
      if (f.file == file && f.severity == kOk) f.severity = kNote;
  findings.push_back({s, file, text});
  if (s == kError) ++errors;
  if (s == kWarning) ++warnings;
}

bool parse_version(const std::string &text, Version *out, std::string *why) {
  gwc_version v;
  const char *reason = "";
  if (!gwc_version_parse(text.data(), text.size(), &v, &reason)) {
    *why = reason;
    size_t at = text.find('-');
    if (at != std::string::npos && at > text.find('.')) at = std::string::npos;
    std::string rest = at == std::string::npos ? text : text.substr(at + 1);
    int dots = (int)std::count(rest.begin(), rest.end(), '.');
    if (dots < GWC_VERSION_MIN_DOTS || dots > GWC_VERSION_MAX_DOTS) *why = fmt("%d dots; %s", dots, reason);
    return false;
  }
  Version parsed;
  parsed.dots = v.dots;
  for (int i = 0; i <= v.dots; ++i) parsed.fields.push_back(text.substr(v.field[i].at, v.field[i].length));
  parsed.fields.push_back(upper(text.substr(v.field[v.dots + 1].at, v.field[v.dots + 1].length)));
  *out = parsed;
  return true;
}

bool config_version(const std::string &path, std::string *version, std::string *why) {
  std::string text;
  if (!read_kit_file(path, &text, why)) return false;
  gwc_span value;
  const char *reason = "";
  if (!gwc_config_version(text.data(), text.size(), &value, &reason)) {
    *why = reason;
    return false;
  }
  *version = text.substr(value.at, value.length);
  return true;
}

std::vector<std::string> upgrade_list(const std::string &path, std::vector<std::string> *other) {
  std::vector<std::string> entries;
  std::string text, why;
  if (!read_kit_file(path, &text, &why)) return entries;
  gwc_span token;
  for (size_t pos = 0; gwc_ini_next_token(text.data(), text.size(), &pos, &token);) {
    std::string t = text.substr(token.at, token.length);
    if (gwc_ini_is_platform(text.data(), token))
      entries.push_back(t);
    else if (other != nullptr)
      other->push_back(t);
  }
  return entries;
}

namespace {

// The signature part the wizard sends with `name`: the size of its
// .minisig, or GWC_UNSIGNED when the kit holds none it would send.
long signature_length(const std::string &dir, const std::string &name) {
  uint64_t size = 0;
  const std::string sig = signature_file(dir, name);
  return !sig.empty() && file_size(velmora::platform::JoinPath(dir, sig), &size) && size <= kLongestSignature
             ? (long)size
             : GWC_UNSIGNED;
}

// Whether the wizard's upload of `name` stays within the gateway's count
// of body bytes (with the signature part it sends along).
bool fits(const std::string &dir, const std::string &name, uint64_t size) {
  return gwc_upload_counted_bytes(name.size(), size, signature_length(dir, name)) <= GWC_MAX_BODY_BYTES;
}

// The limits that the gateway applies to any file the wizard posts to it,
// counted over the request as the wizard sends it: the smallest request is
// the one without a signature (a gateway that takes none gets the file
// again so), the largest the one with it.
void check_upload_size(Report *r, const std::string &dir, const std::string &name, uint64_t size) {
  if (gwc_upload_body_length(name.size(), size, GWC_UNSIGNED) < GWC_MIN_CONTENT_LENGTH) {
    const uint64_t least = gwc_upload_smallest_file(name.size(), GWC_UNSIGNED);
    // An image is padded with zeros at its end, where its file system or
    // kernel does not look, and tagged again (the old tag becomes padding);
    // a tar archive ends in zeros anyway.
    const std::string how =
        name == "prepare.bin"
            ? "make the archive again with tar -b 1280, which pads it to 655,360 bytes"
            : fmt("pad it at its end and tag it again: truncate -s %llu %s && fwtag add %s",
                  (unsigned long long)(least - CS_TAG_SIZE), name.c_str(), name.c_str());
    r->add(kError, name, fmt("%s bytes; the gateway refuses uploads of less than %s bytes of file (fail[6]); %s",
                             with_commas(size).c_str(), with_commas(least).c_str(), how.c_str()));
  }
  const long signature = signature_length(dir, name);
  if (!fits(dir, name, size))
    r->add(kError, name, fmt("%s bytes; the gateway takes at most %s bytes of file%s (fail[7]); make it smaller",
                             with_commas(size).c_str(),
                             with_commas(gwc_upload_largest_file(name.size(), signature)).c_str(),
                             signature == GWC_UNSIGNED ? "" : " with its signature"));
}

void check_image(const std::string &dir, Report *r) {
  const std::vector<std::string> images = image_files(dir);
  // A name that only looks like an image's ("fw.img.bak", "fw.img2") is
  // never sent: the wizard matches whole long names, never 8.3 aliases.
  for (const std::string &n : velmora::platform::FindFiles(dir, "*.img?*"))
    if (!velmora::platform::MatchesPattern(n, "*.minisig")) r->add(kNote, n, "not the kit's image: the wizard sends only a file whose name ends in \".img\"");
  if (images.empty()) {
    r->add(kError, "*.img", "no firmware image (\"*.img\") in the kit: copy the tagged image into it, "
                            "with a name ending in \".img\"");
    return;
  }
  if (images.size() > 1) {
    std::string list;
    for (const auto &n : images) list += (list.empty() ? "" : ", ") + n;
    r->add(kError, "*.img", fmt("%zu images (%s); the wizard needs exactly one and would send none: "
                                "keep the right one and move the others out of the kit",
                                images.size(), list.c_str()));
    return;
  }
  const std::string name = images[0], path = velmora::platform::JoinPath(dir, name);
  uint64_t size = 0;
  if (!file_size(path, &size)) {
    r->add(kError, name, "not an ordinary file: put the image itself there");
    return;
  }
  if (!fits(dir, name, size)) {
    // Too big to go up at all: not worth reading to the end.
    check_upload_size(r, dir, name, size);
    return;
  }
  FILE *f = velmora::platform::OpenCFile(path, "rb");
  unsigned char first[4] = {0, 0, 0, 0};
  if (f == nullptr || fread(first, 1, 4, f) != 4 || size < CS_TAG_SIZE + 4) {
    if (f) fclose(f);
    r->add(kError, name, "too short to be an image: copy the image again");
    return;
  }
  if (name.find('"') != std::string::npos)
    r->add(kError, name, "a double quote in the file name breaks the upload request: rename it");
  bool has_tag = cs_is_tagged(f) != 0;
  uint64_t payload = has_tag ? size - CS_TAG_SIZE : size;
  switch (gwc_image_kind(first, size)) {
    case GWC_IMAGE_CONFIG:
      r->add(kError, name, "a configuration file (\"<con\"), not a firmware image: the gateway would store it as its "
                           "configuration; put the firmware image in its place");
      break;
    case GWC_IMAGE_FILESYSTEM:
      r->add(kOk, name, fmt("file system image, %s bytes for /dev/mtdblock/0", with_commas(payload).c_str()));
      break;
    case GWC_IMAGE_KERNEL:
      r->add(kOk, name, fmt("kernel image, %s bytes for /dev/mtdblock/1", with_commas(payload).c_str()));
      break;
    case GWC_IMAGE_COMBINED:
      r->add(kOk, name, fmt("combined image: %s bytes kernel, %s bytes file system", with_commas(kKernelPartition).c_str(), with_commas(payload - kKernelPartition).c_str()));
      break;
    default:
      r->add(kError, name, fmt("unknown image kind, first bytes %02X %02X %02X %02X (the gateway answers fail[15]); the "
                               "gateway takes SquashFS, cramfs and JFFS2 file systems and its kernel images",
                               first[0], first[1], first[2], first[3]));
      break;
  }
  if (!has_tag) {
    r->add(kError, name, "no image tag at its end (the gateway answers fail[12]); add one: fwtag add " + name);
  } else {
    uint32_t computed = 0, stored = 0;
    if (!cs_calc_sum(f, &computed, 1) || !cs_get_sum(f, &stored)) {
      r->add(kError, name, "cannot be read to the end: copy it again");
    } else {
      if (computed != stored) {
        // The image changed after it was tagged (and signed): both are of
        // the old bytes.
        const std::string sig = signature_file(dir, name);
        r->add(kError, name, fmt("tag checksum %u, but the image sums to %u (the gateway answers fail[14]): it changed "
                                 "after it was tagged; tag it again with fwtag add --replace %s%s",
                                 stored, computed, name.c_str(),
                                 sig.empty() ? ""
                                             : (", then sign it again (fwtag sign --key KEY " + name +
                                                "): " + sig + " is of the old bytes").c_str()));
      }
      else
        r->add(kOk, name, fmt("image tag valid (checksum %u)", computed));
    }
  }
  fclose(f);
  check_upload_size(r, dir, name, size);
}

bool check_config(const std::string &dir, Report *r, Version *version) {
  std::string text, why;
  const char kExample[] = "<config version=\"3.60.1.0.9-GQ\">";
  if (!config_version(kit_path(dir, "config.xml"), &text, &why)) {
    const std::string hint = renamed(dir, "config.xml");
    r->add(kError, "config.xml", why == "missing" && !hint.empty() ? "missing: every gateway refuses the kit" + hint
                                 : why == "missing" ? fmt("missing: every gateway refuses the kit; write the kit's "
                                                          "version into it as %s", kExample)
                                 : why.find("UTF-16") != std::string::npos ? why + ": the wizard finds no version"
                                 : fmt("%s: the wizard finds no version; write it as %s", why.c_str(), kExample));
    return false;
  }
  std::string copy = text;
  if (!parse_version(copy, version, &why)) {
    r->add(kError, "config.xml", "version " + quoted(text) + " is malformed: " + why +
                                     "; write five to eleven numbers, \"-\" and the platform, as 3.60.1.0.9-GQ");
    return false;
  }
  bool ok = true;
  for (size_t i = 0; i < version->fields.size(); ++i) {
    const std::string &field = version->fields[i];
    if (field.size() > kSlot) {
      r->add(kError, "config.xml", fmt("version field %s is longer than %zu characters, more than the wizard "
                                       "reads; shorten it", quoted(field).c_str(), kSlot));
      ok = false;
    }
    if (i + 1 < version->fields.size()) {
      size_t p = field.find_first_not_of(" ");
      if (p == std::string::npos || (!isdigit((unsigned char)field[p]) &&
                                     !((field[p] == '+' || field[p] == '-') && p + 1 < field.size() && isdigit((unsigned char)field[p + 1]))))
        r->add(kWarning, "config.xml", "version field " + quoted(field) + " is not a number; it compares as 0");
    }
  }
  if (version->platform().empty()) {
    r->add(kError, "config.xml", "version " + quoted(text) + " names no platform after the last \"-\"; add it, "
                                     "as in 3.60.1.0.9-GQ");
    ok = false;
  }
  if (ok) r->add(kOk, "config.xml", fmt("version %s (%d numbers, platform %s)", text.c_str(), version->dots + 1, version->platform().c_str()));
  return ok;
}

// What an editor or a hand puts between platform names where the wizard
// splits only at blanks: punctuation, and the bytes of non-ASCII spaces
// and commas (no-break space, full-width comma) or control characters.
// Platform names are plain ASCII letters and digits.
bool odd_separator(char c) {
  const unsigned char u = (unsigned char)c;
  return u < 0x20 || u >= 0x7F || strchr(",;|/", c) != nullptr;
}

void check_upgrade_ini(const std::string &dir, Report *r, const Version *version) {
  std::string path = kit_path(dir, "upgrade.ini"), text, why;
  // The wizard upgrades only a gateway whose platform is listed: without a
  // list it refuses every gateway rather than flash one blind.
  const std::string create = fmt("; list the kit's platform in it: printf '%s\\n' > upgrade.ini",
                                 version != nullptr ? version->platform().c_str() : "GQ");
  if (!read_kit_file(path, &text, &why)) {
    const std::string hint = why == "missing" ? renamed(dir, "upgrade.ini") : "";
    r->add(kError, "upgrade.ini", why + ": the wizard refuses every gateway (it upgrades only the platforms listed)" +
                                      (!hint.empty() ? hint : why.find("UTF-16") == std::string::npos ? create : ""));
    return;
  }
  std::vector<std::string> other;
  std::vector<std::string> entries = upgrade_list(path, &other);
  if (entries.empty()) {
    r->add(kError, "upgrade.ini", "lists no platform (tokens starting with G): the wizard refuses every gateway" + create);
    return;
  }
  bool listed = false, listed_unseparated = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string &e = entries[i];
    if ((int)i >= kMaxEntries) {
      r->add(kWarning, "upgrade.ini", fmt("%zu platforms; the wizard reads only the first %d", entries.size(), kMaxEntries));
      break;
    }
    if (std::any_of(e.begin(), e.end(), odd_separator)) {
      // Each run of them becomes one blank: "GQ, GR" and "GQ\xC2\xA0GR"
      // (a no-break space) alike.
      std::string fixed;
      for (char c : e)
        if (!odd_separator(c)) fixed += c;
        else if (!fixed.empty() && fixed.back() != ' ') fixed += ' ';
      if (!fixed.empty() && fixed.back() == ' ') fixed.pop_back();
      r->add(kError, "upgrade.ini", "entry " + quoted(e) + " is read as one platform, which no gateway has: " +
                                        "platforms are separated by blanks (spaces or line breaks); write " +
                                        quoted(fixed));
      if (version != nullptr && (" " + upper(fixed) + " ").find(" " + version->platform() + " ") != std::string::npos)
        listed_unseparated = true;
    } else if (e.size() > kEntrySlot) {
      r->add(kError, "upgrade.ini", fmt("entry %s is longer than %zu characters, more than the wizard reads; "
                                        "platform names are short (GQ)", quoted(e).c_str(), kEntrySlot));
    } else if (upper(e) != e) {
      r->add(kWarning, "upgrade.ini", "entry " + quoted(e) + " never matches: gateways report their platform in "
                                      "upper case; write " + quoted(upper(e)));
    }
    if (version != nullptr && e == version->platform()) listed = true;
  }
  for (const std::string &t : other)
    r->add(kNote, "upgrade.ini", "token " + quoted(t) + " is ignored (entries start with G)");
  if (version != nullptr && !listed && !listed_unseparated)
    r->add(kError, "upgrade.ini", "does not list the kit's platform " + version->platform() +
                                      ": the wizard refuses the gateways the kit is for; add " + version->platform());
  // Platforms, each counted once, of those the wizard reads.
  std::vector<std::string> read(entries.begin(), entries.begin() + std::min(entries.size(), (size_t)kMaxEntries));
  std::sort(read.begin(), read.end());
  const size_t platforms = (size_t)(std::unique(read.begin(), read.end()) - read.begin());
  r->add(kOk, "upgrade.ini", fmt("%zu platform%s", platforms, platforms == 1 ? "" : "s"));
}

void check_prepare(const std::string &dir, Report *r) {
  std::string path = kit_path(dir, "prepare.bin");
  uint64_t size;
  if (!velmora::platform::PathExists(path)) {
    // What the wizard does then, for the gateways it upgrades in two steps.
    r->add(kNote, "prepare.bin", "none: a gateway that takes the upgrade in two steps gets the image "
                                 "through its upgrade service, without preparation");
    return;
  }
  if (!file_size(path, &size)) {
    r->add(kError, "prepare.bin", "not an ordinary file: put the package itself there");
    return;
  }
  if (!fits(dir, "prepare.bin", size)) {
    check_upload_size(r, dir, "prepare.bin", size);
    return;
  }
  FILE *f = velmora::platform::OpenCFile(path, "rb");
  unsigned char first[GWC_TAR_BLOCK] = {0};
  const size_t got = f != nullptr ? fread(first, 1, sizeof first, f) : 0;
  if (first[0] == 0x1F && first[1] == 0x8B) {
    r->add(kError, "prepare.bin", "compressed (gzip): the gateway does not uncompress packages; it would take "
                                  "the file for an image and refuse it (fail[12]); make a plain tar archive (tar -cf, without -z)");
  } else if (got != sizeof first || !gwc_tar_is_archive(first)) {
    r->add(kError, "prepare.bin", "not a tar archive: the gateway would take it for an image and refuse it; make "
                                  "it with tar from a folder pkg/ (kits.md, prepare.bin)");
  } else {
    gwc_tar_reader reader;
    gwc_tar_open(&reader, read_file, f, size);
    gwc_pkg_summary s;
    if (gwc_pkg_check(&reader, &s) != 0) {
      // The gateway's own reason, as its log gives it.
      r->add(kError, "prepare.bin", fmt("%s: the gateway refuses the package (fail[%d]); make it again from a "
                                        "folder pkg/ of plain files and folders: tar -cf prepare.bin pkg",
                                        reader.reason, RESULT_BAD_MAGIC));
    } else if (!s.has_script) {
      r->add(kError, "prepare.bin", "no pkg/fw_exec.sh: the package has no script to run; add it (kits.md, "
                                    "prepare.bin)");
    } else if ((s.script_mode & 0111) == 0) {
      r->add(kError, "prepare.bin",
             fmt("pkg/fw_exec.sh has mode %03o: not executable, the shell cannot run it; chmod 755 "
                 "pkg/fw_exec.sh, then make the archive again", s.script_mode & 0777));
    } else {
      r->add(kOk, "prepare.bin", fmt("package with %u members, pkg/fw.inf and pkg/fw_exec.sh", s.members));
    }
  }
  if (f != nullptr) fclose(f);
  check_upload_size(r, dir, "prepare.bin", size);
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
