#include "input/projection.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>

#include <sys/stat.h>

#include "numeric/error.h"
#include "numeric/files.h"

namespace cbrecon {

namespace {

// x without its top `shift` bits, sign-extended from the bit below them.
inline uint32_t cut_signed(uint32_t x, unsigned shift) {
  return static_cast<uint32_t>(static_cast<int32_t>(x << shift) >> shift);
}
// The low `len` bytes (1, 2 or 4) of x as a signed number, sign-extended to
// 32 bits.
inline uint32_t low_bytes_signed(uint32_t x, unsigned len) { return cut_signed(x, 32 - 8 * len); }

inline uint32_t load_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// What one byte of the code table says about its four pixels: each
// difference's byte offset from the first and the shift that cuts a 4-byte
// read to its length (codes 0, 1, 2: 1, 2, 4 bytes), the bytes of all four,
// and whether a code is 3 (invalid).
struct GroupCodes {
  uint8_t off[4], shift[4], len;
  bool invalid;
};
const GroupCodes* group_codes() {
  static const auto table = [] {
    std::array<GroupCodes, 256> t{};
    for (unsigned byte = 0; byte < 256; ++byte) {
      GroupCodes& g = t[byte];
      unsigned off = 0;
      for (unsigned i = 0; i < 4; ++i) {
        const unsigned code = byte >> (2 * i) & 3;
        const unsigned len = code == 0 ? 1 : code == 1 ? 2 : 4;
        g.invalid = g.invalid || code == 3;
        g.off[i] = static_cast<uint8_t>(off);
        g.shift[i] = static_cast<uint8_t>(32 - 8 * len);
        off += len;
      }
      g.len = static_cast<uint8_t>(off);
    }
    return t;
  }();
  return table.data();
}
}  // namespace

double header_double(const uint8_t* head, size_t offset) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | head[offset + i];
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

void header_set_double(uint8_t* head, size_t offset, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) head[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
}

bool usable_ctnorm(const Header& head) {
  const double ctnorm = header_ctnorm(head.data());
  return std::isfinite(ctnorm) && ctnorm > 0;
}

std::string projection_name(const std::string& prefix, long long num, const char* ext) {
  std::string name = prefix + strprintf("%5.5lld", num) + ext;
  if (name.size() > kMaxName)
    throw RunError(strprintf("projection file name is %zu characters long; at most %zu are allowed: %s",
                             name.size(), kMaxName, name.c_str()));
  return name;
}

size_t code_table_length(long rows, long cols) {
  if (rows < 1 || cols < 1) return 0;
  return static_cast<size_t>((static_cast<double>(rows - 1) * static_cast<double>(cols)) / 4.0 + 0.5);
}

size_t min_pixel_bytes(long rows, long cols) {
  if (rows < 1 || cols < 1) return 0;
  // A one-row detector has no pixel (1, 0).
  return code_table_length(rows, cols) + 4 * static_cast<size_t>(cols) + (rows > 1 ? 4 : 0);
}

size_t max_pixel_bytes(long rows, long cols) {
  if (rows < 1 || cols < 1) return 0;
  // Plain pixels and 32-bit differences alike take 4 bytes each.
  return code_table_length(rows, cols) + 4 * static_cast<size_t>(rows) * static_cast<size_t>(cols);
}

DecodeStatus decode_projection_into(std::span<const uint8_t> data, long cols, long rows,
                                    uint32_t* v) {
  DecodeStatus st;
  if (rows < 1 || cols < 1) return st;  // an empty image: nothing to clear
  const size_t total = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  // Every pixel is written once, decoded or 0 past the decoded ones (not
  // zeroed first: that doubled the memory traffic of a view).
  auto finish = [&](size_t decoded) {
    st.decoded = decoded;
    std::memset(v + decoded, 0, (total - decoded) * sizeof(uint32_t));
    return st;
  };
  const size_t L = code_table_length(rows, cols);
  const uint8_t* const base = data.data();
  const size_t size = data.size();
  if (L > size) {
    st.truncated = true;
    return finish(0);
  }
  const uint8_t* table = base;
  size_t p = L;
  // Row 0 and pixel (1, 0) are stored plainly.
  const size_t plain = std::min(total, static_cast<size_t>(cols) + (rows > 1 ? 1 : 0));
  for (size_t k = 0; k < plain; ++k) {
    if (p + 4 > size) {
      st.truncated = true;
      return finish(k);
    }
    v[k] = load_u32(base + p);
    p += 4;
  }
  st.decoded = plain;
  const size_t n = static_cast<size_t>(cols);
  size_t k = n + 1;
  // The code table itself is inside data because L <= size was checked;
  // a pixel past the table's codes stops the decoding as truncated.
  const size_t qmax = L * 4;  // codes present in the table
  const size_t kend = std::min(total, qmax + n + 1);  // pixels with a code
  // Fast path, four pixels per byte of codes while 16 bytes remain: the
  // byte gives every difference's offset and length from a table, each
  // difference is read as four bytes and cut to its length by shifts, and
  // the four sums are chained; no branch depends on a code except the rare
  // code 3.  (One pixel at a time, the byte position was a serial chain
  // through every code: 1.2 ms per default view, 0.7 ms this way.)
  // Codes start at pixel n + 1, so pixel k's code sits at q = k - n - 1 and
  // every group starts on a byte of the table.
  const GroupCodes* const groups = group_codes();
  uint32_t last = k <= total ? v[k - 1] : 0;  // the previous pixel, carried in a register
  // (A group needs its row above decoded: at least four columns.)
  for (; n >= 4 && k + 4 <= kend && p + 16 <= size; k += 4) {
    const GroupCodes& g = groups[table[(k - n - 1) >> 2]];
    if (g.invalid) break;  // reported by the loop below
    const uint8_t* b = base + p;
    p += g.len;
    const uint32_t* up = v + k - n;
    uint32_t t[4];
    for (int i = 0; i < 4; ++i) {
      t[i] = cut_signed(load_u32(b + g.off[i]), g.shift[i]) + (up[i] - up[i - 1]);  // modular: any grouping gives the same word
    }
    const uint32_t a0 = last + t[0], a1 = a0 + t[1], a2 = a1 + t[2];
    last = a2 + t[3];
    v[k] = a0;
    v[k + 1] = a1;
    v[k + 2] = a2;
    v[k + 3] = last;
  }
  static constexpr unsigned kLen[4] = {1, 2, 4, 0};
  // The last bytes (and the stops), one code at a time, each read checked.
  for (; k < total; ++k) {
    const size_t q = k - n - 1;
    if (q >= qmax) {
      st.truncated = true;
      break;
    }
    const unsigned code = (table[q >> 2] >> (2 * (q & 3))) & 3u;
    if (code == 3) {
      st.invalid_code = true;
      break;
    }
    const unsigned len = kLen[code];
    if (p + len > size) {
      st.truncated = true;
      break;
    }
    uint32_t x = 0;
    for (unsigned i = 0; i < len; ++i) x |= static_cast<uint32_t>(base[p + i]) << (8 * i);
    const uint32_t d = low_bytes_signed(x, len);
    p += len;
    v[k] = d + v[k - 1] + v[k - n] - v[k - n - 1];
  }
  return finish(std::min(k, total));
}

Matrix<uint32_t> decode_projection(std::span<const uint8_t> data, long cols, long rows,
                                   DecodeStatus* status) {
  Matrix<uint32_t> img = uimatrix(0, rows - 1, 0, cols - 1);
  const DecodeStatus st = decode_projection_into(data, cols, rows, img.data());
  if (status) *status = st;
  return img;
}

bool read_projection(const std::string& name, uint8_t* head, std::vector<uint8_t>& data,
                     size_t max_bytes) {
  std::memset(head, 0, kHeaderSize);
  const UniqueFile f = open_regular_file(name);
  bool ok = f && std::fseek(f.get(), 0, SEEK_END) == 0;
  const long size = ok ? std::ftell(f.get()) : -1;
  ok = ok && size >= 0 && std::fseek(f.get(), 0, SEEK_SET) == 0;
  const size_t got = ok ? std::fread(head, 1, kHeaderSize, f.get()) : 0;
  if (!ok || size <= static_cast<long>(kHeaderSize) || got != kHeaderSize) {
    data.clear();
    return ok;
  }
  // A buffer reused from the previous view of the same size is not zeroed
  // again before the read overwrites it.
  data.resize(std::min(static_cast<size_t>(size) - kHeaderSize, max_bytes));
  const size_t n = std::fread(data.data(), 1, data.size(), f.get());
  data.resize(n);
  return true;
}

bool read_header(const std::string& name, uint8_t* head, bool* not_regular, uint64_t* file_bytes) {
  std::memset(head, 0, kHeaderSize);
  const UniqueFile f = open_regular_file(name, not_regular);
  if (!f) return false;
  (void)std::fread(head, 1, kHeaderSize, f.get());
  if (file_bytes) {
    struct stat st {};
    *file_bytes = fstat(fileno(f.get()), &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  return true;
}

namespace {
uint32_t header_u32(const uint8_t* head, size_t offset) { return load_u32(head + offset); }
}  // namespace

bool header_image_size(const uint8_t* head, uint64_t file_bytes, long& rows, long& cols) {
  const uint32_t w = header_u32(head, kWidthOffset), h = header_u32(head, kHeightOffset);
  if (w < 1 || w > 65535 || h < 1 || h > 65535 || file_bytes < kHeaderSize) return false;
  const uint64_t pixel_bytes = file_bytes - kHeaderSize;
  if (pixel_bytes < min_pixel_bytes(h, w) || pixel_bytes > max_pixel_bytes(h, w)) return false;
  rows = h;
  cols = w;
  return true;
}

std::string short_view_message(const std::string& name, size_t pixel_bytes, long cols, long rows) {
  return strprintf("%s: %zu bytes of pixel data, a %ld x %ld detector needs at least %zu; view skipped",
                   name.c_str(), pixel_bytes, cols, rows, min_pixel_bytes(rows, cols));
}

bool screen_view(const ViewScreen& screen, const std::string& name, const uint8_t* head,
                 uint64_t file_bytes, ViewList& vl) {
  long rows = 0, cols = 0;
  if (header_image_size(head, file_bytes, rows, cols)) {
    if ((rows != screen.rows || cols != screen.cols) && vl.other_size_name.empty()) {
      vl.other_size_name = name;
      vl.other_rows = rows;
      vl.other_cols = cols;
    }
    return true;
  }
  const uint64_t pixel_bytes = file_bytes > kHeaderSize ? file_bytes - kHeaderSize : 0;
  if (pixel_bytes >= min_pixel_bytes(screen.rows, screen.cols)) return true;
  vl.dropped.push_back(short_view_message(name, static_cast<size_t>(pixel_bytes), screen.cols, screen.rows));
  return false;
}

long count_projections_from(const std::string& prefix, long long from, long limit) {
  long count = 0;
  for (long long num = from, base = from; count < limit && num - base <= 100; ++num) {
    if (!open_regular_file(projection_name(prefix, num))) continue;
    ++count;
    base = num + 1;
  }
  return count;
}

ViewList list_projections(const std::string& prefix, const char* ext, int32_t n, int32_t first,
                          uint16_t hscan, double hscan_range, const ViewScreen* screen) {
  ViewList vl;
  vl.nlisted = n;
  long long num = first, base = first;
  Header head;
  for (int32_t i = 0; i < n;) {
    if (num - base > 100) break;
    const std::string name = projection_name(prefix, num, ext);
    bool special = false;
    uint64_t bytes = 0;
    if (!read_header(name, head.data(), &special, &bytes)) {
      if (special) vl.skipped.push_back(name);
      ++num;
      continue;
    }
    // A file too short to be a view leaves no trace in the list: neither its
    // (missing) angle nor a place among its neighbours' weights.
    if (screen && !screen_view(*screen, name, head.data(), bytes, vl)) {
      base = ++num;
      continue;
    }
    const double angle = header_angle(head.data());
    if (hscan == 1 && !vl.angles.empty()) {
      const double delta = (angle - vl.angles[0]) * pi / 180;
      if (hscan_range < delta) break;
    }
    if (vl.names.size() >= 65535)
      throw RunError("more than 65535 projection files to list; split the scan or use -s to list fewer");
    vl.names.push_back(name);
    vl.angles.push_back(angle);
    ++vl.ik;
    ++num;
    base = num;
    ++i;
  }
  if (vl.ik == n && n > 0) vl.next_number = num;
  return vl;
}

}  // namespace cbrecon
