// Projection files (".hnd"): a 1024-byte header (gantry angle in degrees at
// byte 432, CTnorm at byte 440, little-endian doubles) followed by
// losslessly compressed 32-bit pixels; and the view list of a run.
//
// Compressed layout after the header, for a detector of `rows` x `cols`:
//   code table   L = trunc((rows-1)*cols/4 + 0.5) bytes, 2-bit codes, the
//                first code of a byte in its low bits
//   row 0        cols plain uint32
//   pixel (1,0)  one plain uint32
//   differences  one per pixel k = cols+1 .. rows*cols-1: code 0 int8,
//                1 int16, 2 int32, 3 invalid (decoding ends)
// Pixel k = d + v[k-1] + v[k-cols] - v[k-cols-1], 32-bit wrapping, over the
// raster sequence (column 0 takes its left neighbour from the row above).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "numeric/arrays.h"
#include "numeric/common.h"

namespace cbrecon {

inline constexpr size_t kHeaderSize = 1024;
inline constexpr size_t kAngleOffset = 432;
inline constexpr size_t kCtnormOffset = 440;
// The image's width (detector columns) and height (rows), 32-bit
// little-endian words.
inline constexpr size_t kWidthOffset = 120;
inline constexpr size_t kHeightOffset = 124;

using Header = std::array<uint8_t, kHeaderSize>;

double header_double(const uint8_t* head, size_t offset);
inline double header_angle(const uint8_t* head) { return header_double(head, kAngleOffset); }
inline double header_ctnorm(const uint8_t* head) { return header_double(head, kCtnormOffset); }
void header_set_double(uint8_t* head, size_t offset, double value);
// Whether the header's CTnorm can normalise the view (finite, positive): a
// view without one would add NaN everywhere.
bool usable_ctnorm(const Header& head);

// prefix + number in "%5.5d" + ext.  RunError if longer than 79 characters.
std::string projection_name(const std::string& prefix, long long num, const char* ext = ".hnd");

// Length of the code table for a detector of rows x cols.
size_t code_table_length(long rows, long cols);

// Bytes of pixel data a compressed view needs at least (code table, row 0,
// pixel (1,0) when there is a second row), before any difference.
size_t min_pixel_bytes(long rows, long cols);

// Outcome of decoding, for messages and tests.
struct DecodeStatus {
  size_t decoded = 0;       // pixels decoded (the rest are 0)
  bool truncated = false;   // the data ended before every pixel was decoded
  bool invalid_code = false;// a code 3 ended decoding
};

// Decodes `data` (the bytes after the header) into `image` (rows x cols,
// already allocated).  Never reads outside `data`: decoding stops at the
// first read that would run past its end, or at a code 3; pixels not
// decoded are 0.
DecodeStatus decode_projection_into(std::span<const uint8_t> data, long cols, long rows,
                                    uint32_t* image);

// Allocating form: a new uimatrix of rows x cols.
Matrix<uint32_t> decode_projection(std::span<const uint8_t> data, long cols, long rows,
                                   DecodeStatus* status = nullptr);

// Bytes of pixel data a compressed view can use at most: every difference
// 4 bytes wide.  The decoder never looks further.
size_t max_pixel_bytes(long rows, long cols);

// Reads one projection file: header into `head` (missing bytes 0), at most
// `max_bytes` of pixel data into `data` (bytes beyond are not read, so an
// oversized file costs no more memory than a complete view).  Returns false
// if the file cannot be opened or read, or is not a regular file (a FIFO,
// device or folder is never opened for reading: it could block forever).
bool read_projection(const std::string& name, uint8_t* head, std::vector<uint8_t>& data,
                     size_t max_bytes = SIZE_MAX);

// Reads just the header (missing bytes 0).  False if the file does not open
// or is not a regular file (then `not_regular` is set, when given).
// `file_bytes`, when given, receives the file's length.
bool read_header(const std::string& name, uint8_t* head, bool* not_regular = nullptr,
                 uint64_t* file_bytes = nullptr);

// The image size a header states (width = columns, height = rows), when it
// states one: both words from 1 to 65535 and the file's length one that a
// compressed image of that size can have (from min_pixel_bytes to
// max_pixel_bytes after the header).  Anything else (a header written
// without the size, a cut-off file) states none: false.
bool header_image_size(const uint8_t* head, uint64_t file_bytes, long& rows, long& cols);

// The line (no program prefix, no newline) for a view whose file holds
// fewer bytes of pixel data than a rows x cols image needs.
std::string short_view_message(const std::string& name, size_t pixel_bytes, long cols, long rows);

// The run's detector, when listing should screen the files against it:
// a file too short for it is dropped from the list (a line in
// ViewList::dropped) instead of keeping a place in the angle list; a header
// that states another size is recorded (ViewList::other_size).
struct ViewScreen {
  long rows = 0, cols = 0;
};

// The views of a run, in processing order.
struct ViewList {
  std::vector<std::string> names;
  std::vector<double> angles;  // gantry angles, degrees
  uint16_t ik = 0;             // views found
  int32_t nlisted = 0;         // requested (3-D) or phase-selected (4-D) count, for the listing line
  std::vector<std::string> skipped;  // names that exist but are not regular files
  // With a ViewScreen: files left out of the list, one line each, and the
  // first file whose header states another image size (and that size).
  std::vector<std::string> dropped;
  std::string other_size_name;
  long other_rows = 0, other_cols = 0;
  // A 4-D listing's trigger samples and first file number (-1: a 3-D list).
  long triggers = -1;
  int32_t first = 0;
  // A 3-D listing that stopped at its limit n: the number after its last file.
  long long next_number = -1;
};

// Screens one opened file (its header and length) against `screen`: true
// if the view can take a place in the list; a dropped view's line or a
// stated size that differs are recorded in `vl`.
bool screen_view(const ViewScreen& screen, const std::string& name, const uint8_t* head,
                 uint64_t file_bytes, ViewList& vl);

// How many projection files follow from number `from` on (the 3-D listing's
// rule: giving up after 101 missing numbers in a row), counting at most
// `limit`.
long count_projections_from(const std::string& prefix, long long from, long limit);

// Lists the projection files of a 3-D run: numbers from `first` on, giving
// up after 101 missing numbers in a row; at most n views; a half scan stops
// at the first view more than hscan_range (radians) beyond the first.
// RunError if more than 65535 views would be listed.
// With `screen`, files are screened (screen_view) and a dropped file does
// not count towards n.
ViewList list_projections(const std::string& prefix, const char* ext, int32_t n, int32_t first,
                          uint16_t hscan, double hscan_range, const ViewScreen* screen = nullptr);

}  // namespace cbrecon
