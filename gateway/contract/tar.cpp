#include "tar.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

const uint64_t kBlock = GWC_TAR_BLOCK;

uint64_t padded(uint64_t size) { return (size + kBlock - 1) / kBlock * kBlock; }

// An octal number field, blanks and NULs around it. False for anything
// else (base-256 numbers included: no package needs them).
bool octal(const unsigned char *field, size_t n, uint64_t *value) {
  size_t i = 0;
  while (i < n && field[i] == ' ') ++i;
  uint64_t v = 0;
  for (; i < n && field[i] >= '0' && field[i] <= '7'; ++i) {
    if (v >> 60) return false;
    v = v * 8 + (uint64_t)(field[i] - '0');
  }
  for (; i < n; ++i)
    if (field[i] != ' ' && field[i] != '\0') return false;
  *value = v;
  return true;
}

bool is_zero(const unsigned char *block) {
  for (uint64_t i = 0; i < kBlock; ++i)
    if (block[i] != 0) return false;
  return true;
}

// Copies the `n`-byte field (up to its first NUL) into out.
void field_text(char *out, size_t size, const unsigned char *field, size_t n) {
  size_t len = 0;
  while (len < n && field[len] != '\0') ++len;
  if (len >= size) len = size - 1;
  memcpy(out, field, len);
  out[len] = '\0';
}

int refuse(gwc_tar_reader *r, const char *format, ...) __attribute__((format(printf, 2, 3)));
int refuse(gwc_tar_reader *r, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vsnprintf(r->reason, sizeof r->reason, format, ap);
  va_end(ap);
  return -1;
}

bool read_exact(gwc_tar_reader *r, uint64_t offset, void *buffer, size_t length) {
  return r->read_at(r->ctx, offset, buffer, length) == (long)length;
}

// What a member of this type is, when it may not be unpacked.
const char *forbidden_kind(char type) {
  switch (type) {
    case '1': return "a hard link";
    case '2': return "a symbolic link";
    case '3': return "a character device";
    case '4': return "a block device";
    case '6': return "a FIFO";
    default: return nullptr;
  }
}

// Values of an extended header that apply to what is unpacked.
struct Extended {
  char *path;  // GWC_TAR_NAME_MAX bytes
  int *has_path;
  uint64_t *size;
  int *has_size;
  int *sparse;
};

bool starts_with(const char *s, size_t n, const char *prefix) {
  size_t p = strlen(prefix);
  return n >= p && memcmp(s, prefix, p) == 0;
}

// Reads the "LENGTH KEYWORD=VALUE\n" records of a pax extended header of
// `size` bytes at `data`. Only the start of each record is read (a
// keyword and a value that matter are short), so values of any length,
// such as extended attributes, cost nothing.
int read_pax(gwc_tar_reader *r, uint64_t data, uint64_t size, const Extended &x, const char *header) {
  char buf[kBlock];
  for (uint64_t pos = 0; pos < size;) {
    const size_t n = size - pos < kBlock ? (size_t)(size - pos) : (size_t)kBlock;
    if (!read_exact(r, data + pos, buf, n))
      return refuse(r, "extended header '%s' cannot be read", header);
    uint64_t length = 0;
    size_t i = 0;
    while (i < n && i < 20 && buf[i] >= '0' && buf[i] <= '9') length = length * 10 + (uint64_t)(buf[i++] - '0');
    const size_t key = i + 1;
    if (i == 0 || i == n || buf[i] != ' ' || length < key + 2 || length > size - pos)
      return refuse(r, "damaged extended header at byte %llu", (unsigned long long)(data + pos));
    const size_t window = length < n ? (size_t)length : n;
    const char *eq = static_cast<const char *>(memchr(buf + key, '=', window - key));
    if (eq == nullptr)
      return refuse(r, "extended header at byte %llu: keyword too long or without a value",
                    (unsigned long long)(data + pos));
    char last = buf[window - 1];
    if (length > n && !read_exact(r, data + pos + length - 1, &last, 1))
      return refuse(r, "extended header '%s' cannot be read", header);
    if (last != '\n')
      return refuse(r, "damaged extended header at byte %llu", (unsigned long long)(data + pos));
    const char *k = buf + key;
    const size_t key_length = (size_t)(eq - k);
    const uint64_t value_length = length - (uint64_t)(eq + 1 - buf) - 1;
    const char *value = eq + 1;
    if (key_length == 4 && memcmp(k, "path", 4) == 0) {
      if (value_length >= GWC_TAR_NAME_MAX)
        return refuse(r, "a member's name in an extended header is longer than %d characters",
                      GWC_TAR_NAME_MAX - 1);
      memcpy(x.path, value, (size_t)value_length);
      x.path[value_length] = '\0';
      *x.has_path = 1;
    } else if (key_length == 4 && memcmp(k, "size", 4) == 0) {
      uint64_t v = 0;
      bool ok = value_length > 0 && value_length < 20;
      for (uint64_t j = 0; ok && j < value_length; ++j) {
        ok = value[j] >= '0' && value[j] <= '9';
        v = v * 10 + (uint64_t)(value[j] - '0');
      }
      if (!ok) return refuse(r, "damaged size in extended header '%s'", header);
      *x.size = v;
      *x.has_size = 1;
    } else if (starts_with(k, key_length, "GNU.sparse.") ||
               (key_length == 15 && memcmp(k, "SCHILY.realsize", 15) == 0)) {
      // A sparse file unpacks to other bytes than its data: not a plain file.
      *x.sparse = 1;
    }
    // Every other keyword (times, owners, character sets, comments,
    // extended attributes, link targets) leaves the unpacked bytes as they are.
    pos += length;
  }
  return 0;
}

// Resolves `name` to the path below pkg/: "." and empty components are
// dropped, ".." is refused, and the first component kept must be "pkg".
int place(gwc_tar_reader *r, gwc_tar_member *m) {
  const char *name = m->name;
  if (name[0] == '/') return refuse(r, "member '%s' has an absolute path", name);
  bool seen_pkg = false;
  size_t used = 0;
  m->path[0] = '\0';
  for (size_t i = 0; name[i] != '\0';) {
    const size_t start = i;
    while (name[i] != '\0' && name[i] != '/') ++i;
    const size_t len = i - start;
    if (name[i] == '/') ++i;
    if (len == 0 || (len == 1 && name[start] == '.')) continue;
    if (len == 2 && name[start] == '.' && name[start + 1] == '.')
      return refuse(r, "member '%s' climbs out of its folder with '..'", name);
    if (!seen_pkg) {
      if (len != 3 || memcmp(name + start, "pkg", 3) != 0)
        return refuse(r, "member '%s' lies outside pkg/", name);
      seen_pkg = true;
      continue;
    }
    if (used + 1 + len >= sizeof m->path) return refuse(r, "member '%s': its path is too long", name);
    m->path[used] = '/';
    memcpy(m->path + used + 1, name + start, len);
    used += 1 + len;
    m->path[used] = '\0';
  }
  if (!seen_pkg) {
    // "./" itself, as an archive of a whole folder starts, creates nothing.
    if (m->type != GWC_TAR_DIR) return refuse(r, "member '%s' lies outside pkg/", name);
    m->root = 1;
  } else if (used == 0 && m->type != GWC_TAR_DIR) {
    return refuse(r, "member '%s' is a file where the folder pkg/ must be", name);
  }
  return 0;
}

}  // namespace

int gwc_tar_is_archive(const unsigned char h[GWC_TAR_BLOCK]) {
  uint64_t stored = 0;
  if (!octal(h + 148, 8, &stored) || memcmp(h + 257, "ustar", 5) != 0) return 0;
  uint64_t sum = 0;
  int64_t signed_sum = 0;
  for (uint64_t i = 0; i < kBlock; ++i) {
    const unsigned char c = i >= 148 && i < 156 ? ' ' : h[i];
    sum += c;
    signed_sum += (signed char)c;
  }
  return stored == sum || (int64_t)stored == signed_sum;
}

void gwc_tar_open(gwc_tar_reader *r, gwc_read_at read_at, void *ctx, uint64_t size) {
  memset(r, 0, sizeof *r);
  r->read_at = read_at;
  r->ctx = ctx;
  r->size = size;
}

int gwc_tar_next(gwc_tar_reader *r, gwc_tar_member *m) {
  memset(m, 0, sizeof *m);
  int has_name = 0, has_size = 0, pending = 0, sparse = 0;
  uint64_t size_override = 0;
  const Extended own = {m->name, &has_name, &size_override, &has_size, &sparse};
  const Extended global = {r->global_path, &r->global_has_path, &r->global_size, &r->global_has_size,
                           &r->global_sparse};
  unsigned char h[kBlock];
  for (;;) {
    const uint64_t at = r->offset;
    // A file that ends without end blocks ends the archive all the same;
    // one that ends inside a header was cut short.
    const bool end = at + kBlock > r->size;
    if (end && at < r->size)
      return refuse(r, "the archive ends inside a header at byte %llu", (unsigned long long)at);
    if (!end && !read_exact(r, at, h, kBlock))
      return refuse(r, "the archive cannot be read at byte %llu", (unsigned long long)at);
    if (end || is_zero(h)) {
      if (pending) return refuse(r, "the archive ends after an extended header, without its member");
      return 0;
    }
    if (!gwc_tar_is_archive(h))
      return refuse(r, "damaged header at byte %llu (after '%s')", (unsigned long long)at, r->last);
    char header_name[101];
    field_text(header_name, sizeof header_name, h, 100);
    const char type = h[156] == '\0' ? '0' : (char)h[156];
    uint64_t size = 0, mode = 0;
    if (!octal(h + 124, 12, &size) || !octal(h + 100, 8, &mode))
      return refuse(r, "member '%s': damaged size or mode", header_name);
    const uint64_t data = at + kBlock;
    if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
      if (padded(size) > r->size - data)
        return refuse(r, "extended header '%s': data beyond the end of the archive", header_name);
      r->offset = data + padded(size);
      if (type == 'L') {
        // GNU: the next member's name, NUL-terminated.
        if (size >= GWC_TAR_NAME_MAX)
          return refuse(r, "a member's long name is longer than %d characters", GWC_TAR_NAME_MAX - 1);
        unsigned char name[GWC_TAR_NAME_MAX];
        if (!read_exact(r, data, name, (size_t)size)) return refuse(r, "a long name cannot be read");
        field_text(m->name, sizeof m->name, name, (size_t)size);
        has_name = 1;
      } else if (type == 'x' || type == 'g') {
        if (read_pax(r, data, size, type == 'x' ? own : global, header_name) != 0) return -1;
      }
      pending = type != 'g';
      continue;
    }

    // The member itself.
    if (!has_name) {
      if (r->global_has_path) {
        memcpy(m->name, r->global_path, sizeof m->name);
      } else if (h[262] == '\0' && h[345] != '\0') {
        // A POSIX header may put the leading part of a long name in its prefix.
        char prefix[156];
        field_text(prefix, sizeof prefix, h + 345, 155);
        const size_t p = strlen(prefix), n = strlen(header_name);
        if (p + 1 + n >= sizeof m->name) return refuse(r, "member '%s/%s': its path is too long", prefix, header_name);
        memcpy(m->name, prefix, p);
        m->name[p] = '/';
        memcpy(m->name + p + 1, header_name, n + 1);
      } else {
        memcpy(m->name, header_name, sizeof header_name);
      }
    }
    memcpy(r->last, m->name, sizeof r->last);
    if (has_size)
      size = size_override;
    else if (r->global_has_size)
      size = r->global_size;
    if (sparse || r->global_sparse)
      return refuse(r, "member '%s' is a sparse file; packages hold only plain files", m->name);
    const char *kind = forbidden_kind(type);
    if (kind != nullptr)
      return refuse(r, "member '%s' is %s; packages hold only files and folders", m->name, kind);
    if (type == '5') {
      m->type = GWC_TAR_DIR;
      size = 0;
    } else if (type == '0' || type == '7') {
      m->type = GWC_TAR_FILE;
    } else {
      return refuse(r, "member '%s' is of type '%c'; packages hold only files and folders", m->name, type);
    }
    if (padded(size) > r->size - data)
      return refuse(r, "member '%s': data beyond the end of the archive", m->name);
    m->mode = (unsigned)mode & 0755u;
    m->size = size;
    m->data = data;
    r->offset = data + padded(size);
    return place(r, m) == 0 ? 1 : -1;
  }
}

int gwc_pkg_check(gwc_tar_reader *r, gwc_pkg_summary *summary) {
  gwc_pkg_summary s;
  memset(&s, 0, sizeof s);
  gwc_tar_open(r, r->read_at, r->ctx, r->size);
  gwc_tar_member m;
  int got;
  while ((got = gwc_tar_next(r, &m)) == 1) {
    if (m.root) continue;
    ++s.members;
    if (m.type != GWC_TAR_FILE) continue;
    if (strcmp(m.path, "/fw.inf") == 0) s.has_marker = 1;
    if (strcmp(m.path, "/fw_exec.sh") == 0) {
      s.has_script = 1;
      s.script_mode = m.mode;
    }
  }
  if (summary != nullptr) *summary = s;
  if (got < 0) return -1;
  if (!s.has_marker) return refuse(r, "no regular file pkg/fw.inf: not a package");
  return 0;
}
