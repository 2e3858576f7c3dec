// What tests on both sides upload, check and unpack: tagged images of each
// kind, packages (tar members of any type and name, in the formats that
// archivers write) and the wizard's multipart body, byte for byte.
#ifndef TESTS_SUPPORT_FIXTURES_H
#define TESTS_SUPPORT_FIXTURES_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

// Tests link test_fixtures (CMakeLists.txt), which brings the contract.
#include "contract/image.h"
#include "contract/upload.h"

namespace fixtures {

// A 32-bit word as it lies in a file: little-endian.
inline std::string Word(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// `n` bytes of every value, CR, LF and NUL included.
inline std::string Noise(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// `content` with its image tag appended.
inline std::string Tag(const std::string &content) {
  unsigned char tag[CS_TAG_SIZE];
  gwc_tag_make(tag, cs_calc_buf_sum(content.data(), content.size()));
  return content + std::string(reinterpret_cast<char *>(tag), sizeof tag);
}

// A tagged image of `size` bytes in all (tag included) that starts with
// `magic` (GWC_MAGIC_SQUASHFS, GWC_MAGIC_KERNEL, ...), the rest noise, or
// `fill` repeated when fill is not 0.
inline std::string Image(uint32_t magic, size_t size, unsigned seed = 1, char fill = 0) {
  const size_t rest = size - 4 - CS_TAG_SIZE;
  return Tag(Word(magic) + (fill != 0 ? std::string(rest, fill) : Noise(rest, seed)));
}

// --- packages ---------------------------------------------------------

// One tar member: type '0' file, '5' folder, '1' hard link, '2' symbolic
// link, '3'/'4' devices, '6' FIFO, '7' contiguous file, or any other byte.
struct TarEntry {
  TarEntry(std::string n, std::string d = "", char t = '0', unsigned m = 0644, std::string l = "",
           std::vector<std::pair<std::string, std::string>> p = {})
      : name(std::move(n)), data(std::move(d)), type(t), mode(m), link(std::move(l)), pax(std::move(p)) {}
  std::string name;
  std::string data;
  char type = '0';
  unsigned mode = 0644;
  std::string link;
  // More records for a pax extended header ("SCHILY.xattr.user.x", ...).
  std::vector<std::pair<std::string, std::string>> pax;
};

enum TarFormat {
  kUstar,  // names over 100 characters go into the POSIX prefix
  kGnu,    // names over 100 characters in a long-name record ('L')
  kPax,    // names over 100 characters (and any pax records) in an 'x' header
};

// A 512-byte header block with a valid checksum. `magic` is "ustar\0" and
// "00" (POSIX) or "ustar  \0" (GNU).
inline std::string TarHeader(const std::string &name, char type, uint64_t size, unsigned mode = 0644,
                             const std::string &link = "", bool gnu = false,
                             const std::string &prefix = "") {
  char h[512];
  memset(h, 0, sizeof h);
  memcpy(h, name.data(), name.size() < 100 ? name.size() : 100);
  snprintf(h + 100, 8, "%07o", mode);
  snprintf(h + 108, 8, "%07o", 0u);
  snprintf(h + 116, 8, "%07o", 0u);
  snprintf(h + 124, 12, "%011llo", static_cast<unsigned long long>(size));
  snprintf(h + 136, 12, "%011o", 0u);
  h[156] = type;
  memcpy(h + 157, link.data(), link.size() < 100 ? link.size() : 100);
  memcpy(h + 257, gnu ? "ustar  " : "ustar\0" "00", 8);
  memcpy(h + 345, prefix.data(), prefix.size() < 155 ? prefix.size() : 155);
  memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  snprintf(h + 148, 8, "%06o", sum);
  return std::string(h, sizeof h);
}

// `data` padded with NULs to whole blocks.
inline std::string TarData(const std::string &data) {
  std::string out = data;
  out.resize((out.size() + 511) / 512 * 512, '\0');
  return out;
}

// One pax record: "LENGTH KEY=VALUE\n", its length counting itself.
inline std::string PaxRecord(const std::string &key, const std::string &value) {
  const size_t body = key.size() + value.size() + 3;  // blank, "=", "\n"
  size_t length = body + 1;
  while (std::to_string(length).size() + body != length) ++length;
  return std::to_string(length) + " " + key + "=" + value + "\n";
}

// An extended header ('x' for the next member, 'g' for all) of `records`.
inline std::string TarPax(char type, const std::string &records) {
  return TarHeader("PaxHeader/member", type, records.size()) + TarData(records);
}

// The archive of `entries` in `format`, ended by two zero blocks.
inline std::string Tar(const std::vector<TarEntry> &entries, TarFormat format = kUstar) {
  std::string out;
  for (const TarEntry &e : entries) {
    std::string name = e.name, prefix;
    const uint64_t size = e.type == '0' || e.type == '7' ? e.data.size() : 0;
    if (format == kPax && (name.size() > 100 || !e.pax.empty())) {
      std::string records;
      if (name.size() > 100) records += PaxRecord("path", name);
      for (const auto &r : e.pax) records += PaxRecord(r.first, r.second);
      out += TarPax('x', records);
      name = name.substr(0, 100);
    } else if (format == kGnu && name.size() > 100) {
      out += TarHeader("././@LongLink", 'L', name.size() + 1, 0644, "", true) + TarData(name + '\0');
      name = name.substr(0, 100);
    } else if (format == kUstar && name.size() > 100) {
      const size_t slash = name.rfind('/', 155);
      if (slash != std::string::npos && name.size() - slash - 1 <= 100) {
        prefix = name.substr(0, slash);
        name = name.substr(slash + 1);
      }
    }
    out += TarHeader(name, e.type, size, e.mode, e.link, format == kGnu, prefix);
    if (size > 0) out += TarData(e.data);
  }
  return out + std::string(1024, '\0');
}

// A package: pkg/fw.inf, pkg/fw_exec.sh running `script`, then `more`.
inline std::vector<TarEntry> Package(const std::string &script, std::vector<TarEntry> more = {}) {
  std::vector<TarEntry> entries = {TarEntry("pkg/", "", '5', 0755), TarEntry("pkg/fw.inf", "package\n"),
                                   TarEntry("pkg/fw_exec.sh", "#!/bin/sh\n" + script, '0', 0755)};
  entries.insert(entries.end(), more.begin(), more.end());
  return entries;
}

// --- the wizard's request ---------------------------------------------

// The body of the wizard's upload of `file` named `name` (what follows the
// blank line after the request headers), with the "signature" part in
// front when `signature` is given.
inline std::string WizardBody(const std::string &name, const std::string &file,
                              const std::string *signature = nullptr) {
  std::string body;
  if (signature != nullptr)
    body += std::string(GWC_DELIMITER_LINE) + GWC_SIGNATURE_DISPOSITION + name + GWC_SIGNATURE_SUFFIX +
            "\"\r\n" + GWC_PART_TYPE + "\r\n" + *signature + "\r\n";
  return body + GWC_DELIMITER_LINE + GWC_FILE_DISPOSITION + name + "\"\r\n" + GWC_PART_TYPE + "\r\n" +
         file + "\r\n" + GWC_CLOSING_LINE;
}

}  // namespace fixtures

#endif
